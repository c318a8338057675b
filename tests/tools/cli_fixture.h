#pragma once

// The built assinador-nfse-cli run as a user would: in a scratch folder, against a temporary
// certificate store that holds one certificate with its key.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/text.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_certificates.h"

struct TRun {
  int status = -1;
  std::string out;
  std::string err;
};

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    FStore.Add(test_certificates::Certificate("empresa.pem", "EMPRESA EXEMPLO LTDA"), &FSerial);
  }

  // Runs the program with AArguments (already shell-quoted) in the scratch directory.
  TRun Run(const std::string& AArguments, const std::string& AStdin = "") {
    TScratchDirectory::WriteBytes(FDir / ".stdin", AStdin);
    const std::string command = "cd '" + FDir.Path().string() + "' && LC_ALL=C.UTF-8 '" +
                                ASSINADOR_BINARY_DIR "/assinador-nfse-cli' " + AArguments +
                                " <.stdin >.stdout 2>.stderr";
    const int raw = std::system(command.c_str());
    TRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = TScratchDirectory::ReadBytes(FDir / ".stdout");
    run.err = TScratchDirectory::ReadBytes(FDir / ".stderr");
    return run;
  }
  std::string Path(const std::string& AName) { return (FDir / AName).string(); }
  void Write(const std::string& AName, std::string_view ABytes) {
    std::filesystem::create_directories((FDir / AName).parent_path());
    TScratchDirectory::WriteBytes(FDir / AName, ABytes);
  }
  std::string Read(const std::string& AName) { return TScratchDirectory::ReadBytes(FDir / AName); }
  // xmlsec1's own verifier on the file as written (it reads the file's encoding itself).
  bool Verifies(const std::string& AName) {
    const std::string command = "xmlsec1 --verify --trusted-pem '" +
                                test_certificates::CaPemPath().string() + "' '" + Path(AName) +
                                "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  test_certificates::TTestStore FStore;
  std::string FSerial;
  TScratchDirectory FDir;
};

inline const std::string kDocument =
    "<nfse><inf Id=\"n1\"><Discriminacao>Serviço de manutenção</Discriminacao></inf>"
    "<assinatura/></nfse>";

// The line of AOut that holds AText, without its line break; empty when none does.
inline std::string LineWith(const std::string& AOut, const std::string& AText) {
  const auto at = AOut.find(AText);
  if (at == std::string::npos) return {};
  const auto start = AOut.rfind('\n', at);
  const auto begin = start == std::string::npos ? 0 : start + 1;
  return AOut.substr(begin, AOut.find('\n', at) - begin);
}

inline Text FromUtf16(std::string_view ABytes, bool ABigEndian) {
  Text out;
  for (std::size_t i = 0; i + 1 < ABytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(ABytes[i]);
    const auto b = static_cast<unsigned char>(ABytes[i + 1]);
    out.push_back(ABigEndian ? char16_t(a << 8 | b) : char16_t(b << 8 | a));
  }
  return out;
}

inline std::string Utf16(const std::string& AUtf8, bool ABigEndian) {
  std::string out;
  for (const char16_t unit : text::FromUtf8(AUtf8)) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out += ABigEndian ? std::string{high, low} : std::string{low, high};
  }
  return out;
}
