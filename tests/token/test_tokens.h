#pragma once

// Two SoftHSM2 tokens made once per test process, reached through the fault module
// (fault_pkcs11.cpp) named by ASSINADOR_NFSE_PKCS11, and the files that steer that module.
//
//   "Token Teste": id 01 certificate with its key ("EMPRESA TOKEN LTDA"),
//                  id 02 certificate without a key on the token ("SEM CHAVE LTDA")
//   "Token Dois":  id 03 certificate with its key ("SEGUNDA EMPRESA LTDA")
// Both take the PIN kPin. The personal store folder is empty.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "tests/support/scratch_directory.h"
#include "tests/support/test_certificates.h"

class TTestTokens {
 public:
  static constexpr const char* kPin = "1234";
  static constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
  static constexpr const char* kSerialWithKey = "7A0001";
  static constexpr const char* kSerialWithoutKey = "7A0002";
  static constexpr const char* kSerialSecond = "7A0003";

  static bool Available() {
    return std::filesystem::exists(kSoftHsm) &&
           std::system(
               "command -v softhsm2-util >/dev/null && command -v pkcs11-tool "
               ">/dev/null") == 0;
  }

  // Made on first use; sets the environment every token test (and the programs they start)
  // reads.
  static TTestTokens& Get() {
    static TTestTokens tokens;
    return tokens;
  }

  const std::filesystem::path& Folder() const { return FDir.Path(); }
  std::filesystem::path Control(const std::string& AName) const { return FControl / AName; }

  void SetRemoved(bool ARemoved) const { SetFlag("retirado", ARemoved); }
  void SetRemoveOnSign(bool ARemove) const { SetFlag("retirar-ao-assinar", ARemove); }
  // A PIN pad on which the person types APin; empty: no PIN pad.
  void SetKeypad(const std::string& APin) const {
    if (APin.empty()) {
      SetFlag("teclado", false);
    } else {
      TScratchDirectory::WriteBytes(Control("teclado"), APin + "\n");
    }
  }
  void SetPinFinalTry(bool AOn) const { SetFlag("pin-final", AOn); }
  void SetPinLocked(bool AOn) const { SetFlag("pin-bloqueado", AOn); }
  std::uintmax_t FailedLogins() const { return CountOf("logins-errados"); }
  std::uintmax_t OverlappingSignatures() const { return CountOf("assinaturas-juntas"); }

 private:
  TTestTokens() : FControl(FDir / "controle"), FStore(FDir / "My") {
    std::filesystem::create_directories(FControl);
    std::filesystem::create_directories(FStore);
    std::filesystem::create_directories(FDir / "tokens");
    const std::string conf = (FDir / "softhsm2.conf").string();
    TScratchDirectory::WriteBytes(conf, "directories.tokendir = " + (FDir / "tokens").string() +
                                            "\nobjectstore.backend = file\nlog.level = ERROR\n");
    // The fault module drives its own copy of SoftHSM2 (see fault_pkcs11.cpp).
    const auto copy = FDir / "libsofthsm2-teste.so";
    std::filesystem::copy_file(kSoftHsm, copy);

    test_certificates::TTestStore maker(false);
    const auto first = maker.Add(test_certificates::TCertificateRequest("a.pem")
                                     .CommonName("EMPRESA TOKEN LTDA")
                                     .Serial(kSerialWithKey));
    const auto second = maker.Add(test_certificates::TCertificateRequest("b.pem")
                                      .CommonName("SEM CHAVE LTDA")
                                      .Serial(kSerialWithoutKey)
                                      .WithoutKey());
    const auto third = maker.Add(test_certificates::TCertificateRequest("c.pem")
                                     .CommonName("SEGUNDA EMPRESA LTDA")
                                     .Serial(kSerialSecond)
                                     .OtherKeyPair());
    const std::string env = "SOFTHSM2_CONF='" + conf + "' ";
    const std::string tool =
        env + "pkcs11-tool --module " + kSoftHsm + " --login --pin " + kPin + " --token-label ";
    const std::string quiet = " >/dev/null 2>&1";
    Run(env + "softhsm2-util --init-token --free --label 'Token Teste' --so-pin 87654321 --pin " +
        kPin + quiet);
    Run(env + "softhsm2-util --init-token --free --label 'Token Dois' --so-pin 87654321 --pin " +
        kPin + quiet);
    Import(env, tool, "Token Teste", first, "01", true);
    Import(env, tool, "Token Teste", second, "02", false);
    Import(env, tool, "Token Dois", third, "03", true);

    ::setenv("FAULT_PKCS11_DIR", FControl.c_str(), 1);
    ::setenv("FAULT_PKCS11_TARGET", copy.c_str(), 1);
    ::setenv("FAULT_PKCS11_SOFTHSM2_CONF", conf.c_str(), 1);
    ::setenv("ASSINADOR_NFSE_PKCS11", FAULT_PKCS11_MODULE, 1);
    ::setenv("ASSINADOR_NFSE_STORE", FStore.c_str(), 1);
  }

  void Import(const std::string& AEnv, const std::string& ATool, const std::string& AToken,
              const std::filesystem::path& APem, const std::string& AId, bool AWithKey) {
    const std::string base = (FDir / AId).string();
    Run("openssl x509 -in '" + APem.string() + "' -outform DER -out '" + base + ".der'");
    if (AWithKey) {
      Run("openssl pkey -in '" + APem.string() + "' -out '" + base + ".key'");
      Run(AEnv + "softhsm2-util --import '" + base + ".key' --token '" + AToken +
          "' --label chave --id " + AId + " --pin " + kPin + " >/dev/null 2>&1");
    }
    Run(ATool + "'" + AToken + "' --write-object '" + base + ".der' --type cert --id " + AId +
        " --label certificado >/dev/null 2>&1");
  }

  static void Run(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0) throw std::runtime_error("failed: " + ACommand);
  }

  void SetFlag(const std::string& AName, bool AOn) const {
    if (AOn) {
      TScratchDirectory::WriteBytes(Control(AName), "");
    } else {
      std::filesystem::remove(Control(AName));
    }
  }

  std::uintmax_t CountOf(const std::string& AName) const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(Control(AName), ec);
    return ec ? 0 : size;
  }

  TScratchDirectory FDir{"tokens"};
  std::filesystem::path FControl;
  std::filesystem::path FStore;
};
