#pragma once

// Test certificates made on the fly with OpenSSL: a test CA and RSA-2048 end-entity
// certificates issued by it, written as files of a temporary personal store.
//
//   TTestStore store;                                  // temp dir; ASSINADOR_NFSE_STORE -> it
//   store.Add(TCertificateRequest("a.pem").CommonName("EMPRESA A").Serial("0A1B2C"));
//   store.Add(TCertificateRequest("b.pem").WithoutKey());
//   store.Add(TCertificateRequest("c.pfx").Expired());
//   store.Add(TCertificateRequest("d.pem").KeyBits(1024));   // or EcKey(), CaCertificate(),
//                                                            // KeyUsage("keyEncipherment"),
//                                                            // SignedWithMd5(),
//                                                            // MalformedBasicConstraints()
//   test_certificates::MakeCertificate(request);       // the same, in memory only
//   test_certificates::CaPemPath();                    // trust anchor for verifiers
//
// Keys are generated once per process (once per kind and size) and reused; every certificate is
// distinct by serial.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/openssl_handles.h"
#include "tests/support/scratch_directory.h"

namespace test_certificates {

struct TCertificateRequest {
  explicit TCertificateRequest(std::string AFileName = "certificado.pem")
      : fileName(std::move(AFileName)) {}

  // Chainable setters: TCertificateRequest("a.pem").CommonName("X").Serial("0A").WithoutKey().
  TCertificateRequest& CommonName(std::string v) {
    commonName = std::move(v);
    return *this;
  }
  TCertificateRequest& Serial(std::string v) {
    serialHex = std::move(v);
    return *this;
  }
  TCertificateRequest& WithoutKey() {
    withKey = false;
    return *this;
  }
  TCertificateRequest& Expired() {
    expired = true;
    return *this;
  }
  TCertificateRequest& MismatchedKey() {
    mismatchedKey = true;
    return *this;
  }
  TCertificateRequest& OtherKeyPair() {
    otherKeyPair = true;
    return *this;
  }
  TCertificateRequest& WithChain() {
    withChain = true;
    return *this;
  }
  TCertificateRequest& LegacyPfx() {
    legacyPfx = true;
    return *this;
  }
  TCertificateRequest& OrganizationalUnit(std::string v) {
    organizationalUnit = std::move(v);
    return *this;
  }
  TCertificateRequest& Organization(std::string v) {
    organization = std::move(v);
    return *this;
  }
  TCertificateRequest& Email(std::string v) {
    email = std::move(v);
    return *this;
  }
  TCertificateRequest& NotAfter(std::time_t v) {
    notAfter = v;
    return *this;
  }
  TCertificateRequest& NotBefore(std::time_t v) {
    notBefore = v;
    return *this;
  }
  // What the signing policy looks at (platform/certstore/certificate_policy.h): the key's kind
  // and size, CA:TRUE, the key usage, the digest the CA signed with.
  TCertificateRequest& KeyBits(int v) {
    keyBits = v;
    return *this;
  }
  TCertificateRequest& EcKey() {
    ecKey = true;
    return *this;
  }
  TCertificateRequest& CaCertificate() {
    caCertificate = true;
    return *this;
  }
  TCertificateRequest& KeyUsage(std::string v) {
    keyUsage = std::move(v);
    return *this;
  }
  TCertificateRequest& SignedWithMd5() {
    signedWithMd5 = true;
    return *this;
  }
  TCertificateRequest& MalformedBasicConstraints() {
    malformedBasicConstraints = true;
    return *this;
  }

  std::string fileName;  // .pem/.crt: PEM; .pfx/.p12: PKCS#12 without password
  std::string commonName = "EMPRESA TESTE LTDA";  // empty: no CN in the subject
  std::string serialHex;                          // hex digits; empty: a fresh unique serial
  bool withKey = true;
  bool expired = false;        // valid from two years ago until one year ago
  bool mismatchedKey = false;  // the file holds a key that belongs to another certificate
  bool otherKeyPair = false;   // a second key pair, so that two certificates differ in key
  bool withChain = false;      // the CA certificate follows in the file
  bool legacyPfx = false;      // PKCS#12 with RC2/3DES as older tools wrote them
  std::string organizationalUnit;
  std::string organization;
  std::string email;
  std::time_t notAfter = 0;    // 0: as "expired" says
  std::time_t notBefore = 0;   // 0: as "expired" says
  int keyBits = 2048;          // size of the RSA key; other sizes get a key of their own
  bool ecKey = false;          // a P-256 key instead of RSA (keyBits is then ignored)
  bool caCertificate = false;  // basicConstraints CA:TRUE; the key usage stays as asked
  // The keyUsage extension as OpenSSL's configuration writes it; empty: no keyUsage at all.
  std::string keyUsage = "critical,digitalSignature,nonRepudiation,keyEncipherment";
  bool signedWithMd5 = false;  // the test CA signs with MD5 instead of SHA-256
  // A critical basicConstraints whose bytes do not decode, in place of the CA:FALSE one (or of
  // the CA:TRUE one: what a forger would hide a CA's certificate behind).
  bool malformedBasicConstraints = false;
};

// A certificate file with the fields tests vary most, in one call.
inline TCertificateRequest Certificate(std::string AFile,
                                       std::string ACommonName = "EMPRESA TESTE LTDA",
                                       std::string ASerialHex = "", bool AWithKey = true) {
  TCertificateRequest wanted(std::move(AFile));
  wanted.commonName = std::move(ACommonName);
  wanted.serialHex = std::move(ASerialHex);
  wanted.withKey = AWithKey;
  return wanted;
}

// A certificate as TTestStore::Add writes it, in memory: the certificate and the key its file
// would hold (null WithoutKey). Fresh references: the caller owns them.
struct TMadeCertificate {
  X509Ptr certificate;
  EvpPkeyPtr key;
};
TMadeCertificate MakeCertificate(const TCertificateRequest& wanted);

// The certificate's serial as the store writes it (upper-case hex, two digits a byte).
std::string NormalizedSerial(const std::string& serialHex);

// A temporary store directory, removed with the object. While it lives (and setEnvironment
// was true) ASSINADOR_NFSE_STORE names it; the previous value comes back afterwards.
class TTestStore {
 public:
  explicit TTestStore(bool setEnvironment = true);
  ~TTestStore();
  TTestStore(const TTestStore&) = delete;
  TTestStore& operator=(const TTestStore&) = delete;

  const std::filesystem::path& Directory() const { return FDirectory.Path(); }
  // Writes the file and returns its path; returns the serial the request gave or the store
  // chosen (NormalizedSerial form) in *serial when asked.
  std::filesystem::path Add(const TCertificateRequest& wanted, std::string* serial = nullptr);
  void Remove(const std::string& fileName);

 private:
  TScratchDirectory FDirectory;
  bool FSetEnvironment;
  std::optional<std::string> FPreviousValue;
};

// The test CA certificate as a PEM file (process-wide, made on first use).
const std::filesystem::path& CaPemPath();
inline constexpr const char* kCaCommonName = "AC TESTE ASSINADOR";

// A moment inside the validity of an expired test certificate, for verifiers.
std::time_t ExpiredCertificateValidMoment();

}  // namespace test_certificates
