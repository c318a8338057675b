#include "tests/support/test_certificates.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/openssl_handles.h"

namespace fs = std::filesystem;

namespace test_certificates {
namespace {

constexpr long kDay = 24 * 60 * 60;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("test certificates: " + what + ": " + openssl::DrainErrors());
}

EvpPkeyPtr NewRsaKey() {
  EvpPkeyPtr key{EVP_RSA_gen(2048)};
  if (!key) Fail("EVP_RSA_gen");
  return key;
}

// Key generation dominates the cost of these fixtures: three keys per process suffice.
struct TKeys {
  EvpPkeyPtr ca = NewRsaKey();
  EvpPkeyPtr endEntity = NewRsaKey();
  EvpPkeyPtr other = NewRsaKey();
};

const TKeys& Keys() {
  static const TKeys keys;
  return keys;
}

// Keys of the other kinds and sizes, made when first asked for and kept for the process.
EVP_PKEY* OtherKindKey(bool AEc, int ABits) {
  static std::mutex lock;
  static std::map<int, EvpPkeyPtr> keys;  // by size; the EC key under 0
  const std::lock_guard<std::mutex> held(lock);
  EvpPkeyPtr& key = keys[AEc ? 0 : ABits];
  if (!key) {
    key.reset(AEc ? EVP_EC_gen("P-256") : EVP_RSA_gen(static_cast<unsigned>(ABits)));
    if (!key) Fail(AEc ? "EVP_EC_gen" : "EVP_RSA_gen " + std::to_string(ABits));
  }
  return key.get();
}

// The key in the certificate.
EVP_PKEY* SubjectKey(const TCertificateRequest& wanted) {
  if (wanted.ecKey || wanted.keyBits != 2048) return OtherKindKey(wanted.ecKey, wanted.keyBits);
  return wanted.otherKeyPair ? Keys().other.get() : Keys().endEntity.get();
}

// The key the file holds: the certificate's own, or another one when it must not match.
EVP_PKEY* FileKey(const TCertificateRequest& wanted) {
  if (!wanted.withKey) return nullptr;
  EVP_PKEY* own = SubjectKey(wanted);
  if (!wanted.mismatchedKey) return own;
  return own == Keys().other.get() ? Keys().endEntity.get() : Keys().other.get();
}

void AddName(X509_NAME* name, const char* field, const std::string& value) {
  if (value.empty()) return;
  if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                 0) != 1) {
    Fail(std::string("X509_NAME_add_entry_by_txt ") + field);
  }
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, CFree<X509_EXTENSION_free>> ext{
      X509V3_EXT_conf_nid(nullptr, &ctx, nid, value)};
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) Fail("X509V3_EXT_conf_nid");
}

// An extension whose value is a DER SEQUENCE cut short: no decoder reads it.
void AddUndecodableExtension(X509* cert, int nid) {
  static const unsigned char kCut[] = {0x30, 0x03, 0x01, 0x01};
  std::unique_ptr<ASN1_OCTET_STRING, CFree<ASN1_OCTET_STRING_free>> value{ASN1_OCTET_STRING_new()};
  if (!value || ASN1_OCTET_STRING_set(value.get(), kCut, sizeof kCut) != 1) {
    Fail("ASN1_OCTET_STRING_set");
  }
  std::unique_ptr<X509_EXTENSION, CFree<X509_EXTENSION_free>> ext{
      X509_EXTENSION_create_by_NID(nullptr, nid, 1, value.get())};
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) Fail("X509_EXTENSION_create_by_NID");
}

void SetSerial(X509* cert, const std::string& hex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, hex.c_str()) == 0) Fail("BN_hex2bn " + hex);
  std::unique_ptr<BIGNUM, CFree<BN_free>> owner{bn};
  if (!BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) Fail("BN_to_ASN1_INTEGER");
}

X509Ptr MakeCaCertificate() {
  X509Ptr cert{X509_new()};
  X509_set_version(cert.get(), 2);
  SetSerial(cert.get(), "01");
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -10 * 365 * kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10 * 365 * kDay);
  X509_NAME* name = X509_get_subject_name(cert.get());
  AddName(name, "O", "Assinador NFS-e Testes");
  AddName(name, "CN", kCaCommonName);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), Keys().ca.get());
  AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(cert.get(), Keys().ca.get(), EVP_sha256()) <= 0) Fail("X509_sign CA");
  return cert;
}

struct TCa {
  X509Ptr certificate = MakeCaCertificate();
  TScratchDirectory directory{"assinador-ca"};
  fs::path pemPath = directory / "ca.pem";
  TCa() {
    BioPtr bio{BIO_new_file(pemPath.c_str(), "w")};
    if (!bio || PEM_write_bio_X509(bio.get(), certificate.get()) != 1) Fail("write CA");
  }
};

const TCa& Ca() {
  static const TCa ca;
  return ca;
}

std::string FreshSerial() {
  static std::atomic<unsigned> counter{0};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "5A%04X%06X", static_cast<unsigned>(getpid() & 0xFFFF),
                counter.fetch_add(1) + 1);
  return buffer;
}

X509Ptr MakeEndEntity(const TCertificateRequest& wanted, const std::string& serial) {
  X509Ptr cert{X509_new()};
  X509_set_version(cert.get(), 2);
  SetSerial(cert.get(), serial);
  if (wanted.expired) {
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -2 * 365 * kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), -365 * kDay);
  } else {
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 365 * kDay);
  }
  if (wanted.notAfter != 0 && !ASN1_TIME_set(X509_getm_notAfter(cert.get()), wanted.notAfter)) {
    Fail("ASN1_TIME_set");
  }
  if (wanted.notBefore != 0 && !ASN1_TIME_set(X509_getm_notBefore(cert.get()), wanted.notBefore)) {
    Fail("ASN1_TIME_set");
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  AddName(name, "C", "BR");
  AddName(name, "O", wanted.organization);
  AddName(name, "OU", wanted.organizationalUnit);
  AddName(name, "CN", wanted.commonName);
  AddName(name, "emailAddress", wanted.email);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(Ca().certificate.get()));
  X509_set_pubkey(cert.get(), SubjectKey(wanted));
  if (wanted.malformedBasicConstraints) {
    AddUndecodableExtension(cert.get(), NID_basic_constraints);
  } else {
    AddExtension(cert.get(), Ca().certificate.get(), NID_basic_constraints,
                 wanted.caCertificate ? "critical,CA:TRUE" : "CA:FALSE");
  }
  if (!wanted.keyUsage.empty()) {
    AddExtension(cert.get(), Ca().certificate.get(), NID_key_usage, wanted.keyUsage.c_str());
  }
  AddExtension(cert.get(), Ca().certificate.get(), NID_authority_key_identifier, "keyid");
  // MD5 is still in the default provider: signing with it is only refused by TLS's security
  // levels, not by X509_sign.
  if (X509_sign(cert.get(), Keys().ca.get(), wanted.signedWithMd5 ? EVP_md5() : EVP_sha256()) <=
      0) {
    Fail("X509_sign");
  }
  return cert;
}

std::string ToLower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void WritePem(const fs::path& path, const TCertificateRequest& wanted, X509* cert, EVP_PKEY* key) {
  BioPtr bio{BIO_new_file(path.c_str(), "w")};
  if (!bio) Fail("BIO_new_file " + path.string());
  if (PEM_write_bio_X509(bio.get(), cert) != 1) Fail("PEM_write_bio_X509");
  if (key && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    Fail("PEM_write_bio_PrivateKey");
  }
  if (wanted.withChain && PEM_write_bio_X509(bio.get(), Ca().certificate.get()) != 1) {
    Fail("PEM_write_bio_X509 chain");
  }
}

OSSL_LIB_CTX* LegacyContext() {
  static OSSL_LIB_CTX* const context = [] {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_load(ctx, "legacy");
    OSSL_PROVIDER_load(ctx, "default");
    return ctx;
  }();
  return context;
}

void WritePfx(const fs::path& path, const TCertificateRequest& wanted, X509* cert, EVP_PKEY* key) {
  X509StackPtr chain{sk_X509_new_null()};
  if (wanted.withChain) {
    X509Ptr ca = openssl::UpRef(Ca().certificate.get());
    if (sk_X509_push(chain.get(), ca.get()) <= 0) Fail("sk_X509_push");
    ca.release();  // the stack owns it from here on
  }
  const int certNid = wanted.legacyPfx ? NID_pbe_WithSHA1And40BitRC2_CBC : 0;
  const int keyNid = wanted.legacyPfx ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
  Pkcs12Ptr p12{PKCS12_create_ex("", "certificado", key, cert, chain.get(), keyNid, certNid, 0, 0,
                                 0, wanted.legacyPfx ? LegacyContext() : nullptr, nullptr)};
  if (!p12) Fail("PKCS12_create_ex");
  BioPtr bio{BIO_new_file(path.c_str(), "wb")};
  if (!bio || i2d_PKCS12_bio(bio.get(), p12.get()) != 1) Fail("i2d_PKCS12_bio");
}

}  // namespace

std::string NormalizedSerial(const std::string& serialHex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, serialHex.c_str()) == 0) Fail("BN_hex2bn " + serialHex);
  std::unique_ptr<BIGNUM, CFree<BN_free>> owner{bn};
  std::string out;
  const int size = BN_num_bytes(bn);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
  if (bytes.empty() || (static_cast<unsigned char>(bytes[0]) & 0x80)) bytes.insert(0, 1, '\0');
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

TTestStore::TTestStore(bool setEnvironment)
    : FDirectory("assinador-store"), FSetEnvironment(setEnvironment) {
  if (FSetEnvironment) {
    if (const char* previous = std::getenv("ASSINADOR_NFSE_STORE")) FPreviousValue = previous;
    setenv("ASSINADOR_NFSE_STORE", FDirectory.Path().c_str(), 1);
  }
}

TTestStore::~TTestStore() {
  if (FSetEnvironment) {
    if (FPreviousValue) {
      setenv("ASSINADOR_NFSE_STORE", FPreviousValue->c_str(), 1);
    } else {
      unsetenv("ASSINADOR_NFSE_STORE");
    }
  }
}

fs::path TTestStore::Add(const TCertificateRequest& wanted, std::string* serial) {
  const std::string serialHex = wanted.serialHex.empty() ? FreshSerial() : wanted.serialHex;
  X509Ptr cert = MakeEndEntity(wanted, serialHex);
  EVP_PKEY* key = FileKey(wanted);
  const fs::path path = FDirectory / wanted.fileName;
  const std::string ext = ToLower(path.extension().string());
  if (ext == ".pfx" || ext == ".p12") {
    WritePfx(path, wanted, cert.get(), key);
  } else {
    WritePem(path, wanted, cert.get(), key);
  }
  if (serial) *serial = NormalizedSerial(serialHex);
  return path;
}

TMadeCertificate MakeCertificate(const TCertificateRequest& wanted) {
  const std::string serialHex = wanted.serialHex.empty() ? FreshSerial() : wanted.serialHex;
  EVP_PKEY* key = FileKey(wanted);
  return {MakeEndEntity(wanted, serialHex), key ? openssl::UpRef(key) : nullptr};
}

void TTestStore::Remove(const std::string& fileName) { fs::remove(FDirectory / fileName); }

const fs::path& CaPemPath() { return Ca().pemPath; }

std::time_t ExpiredCertificateValidMoment() { return std::time(nullptr) - 500 * kDay; }

}  // namespace test_certificates
