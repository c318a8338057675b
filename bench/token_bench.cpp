// What a token costs: one NFS-e signature with a key on a SoftHSM2 token against SoftHSM2's own
// RSA-2048 signature through PKCS#11 (the floor: the token's operation alone), and one listing
// of the personal store with that token present against the listing of the folder alone.
//
//   build/release/token_bench [segundos-por-figura]
//
// Needs softhsm2-util and pkcs11-tool (packages softhsm2, opensc).
#include <p11-kit/p11-kit.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/bench_store.h"
#include "bench/bench_timing.h"
#include "platform/certstore/pin_source.h"
#include "platform/certstore/pkcs11_tokens.h"
#include "platform/certstore/store.h"
#include "platform/xmldsig/library_scope.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"

namespace {

constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";

void Run(const std::string& ACommand) {
  bench::Require(std::system(ACommand.c_str()) == 0, ACommand);
}

// SoftHSM2's own signature: C_SignInit and C_Sign over a SHA-1 DigestInfo, as the signer asks.
class TRawSigner {
 public:
  TRawSigner() {
    FModule = p11_kit_module_load(kModule, 0);
    bench::Require(FModule && p11_kit_module_initialize(FModule) == CKR_OK, "módulo");
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    bench::Require(FModule->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0, "slot");
    bench::Require(
        FModule->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &FSession) == CKR_OK,
        "sessão");
    const CK_RV login = FModule->C_Login(
        FSession, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4);
    bench::Require(login == CKR_OK || login == CKR_USER_ALREADY_LOGGED_IN, "login");
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE query{CKA_CLASS, &keyClass, sizeof keyClass};
    CK_ULONG found = 0;
    FModule->C_FindObjectsInit(FSession, &query, 1);
    FModule->C_FindObjects(FSession, &FKey, 1, &found);
    FModule->C_FindObjectsFinal(FSession);
    bench::Require(found == 1, "chave");
  }
  void Sign() {
    static const unsigned char kDigestInfo[35] = {
        0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05,
        0x00, 0x04, 0x14, 1,    2,    3,    4,    5,    6,    7,    8,    9,
        10,   11,   12,   13,   14,   15,   16,   17,   18,   19,   20};
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    unsigned char signature[512];
    CK_ULONG length = sizeof signature;
    bench::Require(FModule->C_SignInit(FSession, &mechanism, FKey) == CKR_OK &&
                       FModule->C_Sign(FSession, const_cast<unsigned char*>(kDigestInfo),
                                       sizeof kDigestInfo, signature, &length) == CKR_OK,
                   "C_Sign");
  }

 private:
  CK_FUNCTION_LIST* FModule = nullptr;
  CK_SESSION_HANDLE FSession = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE FKey = CK_INVALID_HANDLE;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  TXmlLibraryScope libraries;
  TScratchDirectory folder("token-bench");
  const auto path = [&](const char* AName) { return (folder.Path() / AName).string(); };
  std::filesystem::create_directories(folder.Path() / "tokens");
  std::filesystem::create_directories(folder.Path() / "My");
  {
    std::ofstream conf(path("softhsm2.conf"));
    conf << "directories.tokendir = " << path("tokens") << "\nobjectstore.backend = file\n"
         << "log.level = ERROR\n";
  }
  ::setenv("SOFTHSM2_CONF", path("softhsm2.conf").c_str(), 1);
  // One file entry, so that the folder alone is a listing of one certificate too.
  WriteSelfIssuedEntry(folder.Path() / "My" / "arquivo.pem", 0x51);
  WriteSelfIssuedEntry(path("token.pem"), 0x7A01);
  const std::string quiet = " >/dev/null 2>&1";
  Run("softhsm2-util --init-token --free --label Bench --so-pin 87654321 --pin " +
      std::string(kPin) + quiet);
  Run("openssl pkey -in " + path("token.pem") + " -out " + path("token.key"));
  Run("openssl x509 -in " + path("token.pem") + " -outform DER -out " + path("token.der"));
  Run("softhsm2-util --import " + path("token.key") + " --token Bench --label k --id 01 --pin " +
      kPin + quiet);
  Run(std::string("pkcs11-tool --module ") + kModule + " --token-label Bench --login --pin " +
      kPin + " --write-object " + path("token.der") + " --type cert --id 01" + quiet);
  {
    std::ofstream pin(path("pin"));
    pin << kPin << "\n";
  }
  ::chmod(path("pin").c_str(), 0600);
  ::setenv("ASSINADOR_NFSE_STORE", path("My").c_str(), 1);
  ::setenv("ASSINADOR_NFSE_PKCS11", kModule, 1);
  certstore::SetPinSource(std::make_shared<certstore::TPinFileSource>(path("pin")));

  std::ifstream sample(ASSINADOR_TEST_DATA "/nfse_sample.xml", std::ios::binary);
  const Text document = text::FromUtf8(std::string(std::istreambuf_iterator<char>(sample), {}));
  const ICertificate2Ptr certificate = TDigitalCertificate().getCertificateBySerial(u"7A01");
  TSignerNFSEDocument signer;
  TRawSigner raw;
  const auto [perDocument, perRawSignature] = PairedMedianSeconds(
      [&] {
        Text signedXml;
        Text status;
        signer.sign(document, *certificate, signedXml, status);
        bench::Require(status == u"OK", "assinatura: " + text::ToUtf8(status));
      },
      [&] { raw.Sign(); }, seconds);
  std::printf("assinatura de NFS-e (%zu bytes) com chave no token: %.3f ms\n",
              text::ToUtf8(document).size(), perDocument * 1e3);
  std::printf("C_Sign RSA-2048 do próprio SoftHSM2 (referência):  %.3f ms\n",
              perRawSignature * 1e3);
  std::printf("razão: %.2fx\n", perDocument / perRawSignature);

  const auto list = [] {
    IStore3 store;
    store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    bench::Require(store.Certificates().Count() >= 2, "listagem");
  };
  const auto [withToken, tokensOnly] = PairedMedianSeconds(
      list, [] { certstore::TokenCertificates(); }, seconds);
  std::printf("listagem do repositório (1 arquivo + 1 token):     %.1f us\n", withToken * 1e6);
  std::printf("  dos quais os tokens (módulos e slots consultados): %.1f us\n", tokensOnly * 1e6);
  return 0;
}
