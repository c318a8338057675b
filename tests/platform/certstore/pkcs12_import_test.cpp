// PKCS#12 files as certificate authorities, Windows and the openssl command write them, imported
// with a password and read by the store with an empty one; and files this program cannot open,
// each refused for its own reason.

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/certstore/pkcs12_reader.h"
#include "platform/certstore/store.h"
#include "platform/certstore/store_entries.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "tests/support/error_of.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_certificates.h"

namespace fs = std::filesystem;

namespace {

using test_certificates::TCertificateRequest;
using test_certificates::TTestStore;

constexpr const char* kPassword = "segredo";

class Pkcs12ImportTest : public testing::Test {
 protected:
  // The openssl command's PKCS#12 file of a fresh test certificate with its key, made with
  // AOptions and APassword; ASerial receives the certificate's serial.
  std::string Exported(
      const std::string& AOptions, const std::string& APassword, std::string& ASerial,
      const TCertificateRequest& ACertificate = TCertificateRequest("origem.pem")) {
    const fs::path pem = FSources.Add(ACertificate, &ASerial);
    const fs::path out = FDir / "exportado.pfx";
    TScratchDirectory::WriteBytes(FDir / "senha", APassword + "\n");
    const std::string command =
        "cd '" + FDir.Path().string() + "' && openssl pkcs12 -export -in '" + pem.string() +
        "' -passout file:senha -out '" + out.string() + "' " + AOptions + " >saida-openssl 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0)
        << command << "\n"
        << TScratchDirectory::ReadBytes(FDir / "saida-openssl");
    return TScratchDirectory::ReadBytes(out);
  }

  // Two CA certificates for -certfile: the test CA and a root made here.
  void WriteChain() {
    const std::string command = "cd '" + FDir.Path().string() +
                                "' && openssl req -x509 -newkey ec -pkeyopt "
                                "ec_paramgen_curve:P-256 -nodes -keyout raiz.key -subj "
                                "'/CN=AC RAIZ TESTE' -days 30 -out raiz.pem >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    TScratchDirectory::WriteBytes(FDir / "cadeia.pem",
                                  TScratchDirectory::ReadBytes(test_certificates::CaPemPath()) +
                                      TScratchDirectory::ReadBytes(FDir / "raiz.pem"));
  }

  TTestStore FStore;
  TTestStore FSources{false};
  TScratchDirectory FDir;
};

TEST_F(Pkcs12ImportTest, EveryEncryptionTheLegacyProviderHasIsReadWithAndWithoutPassword) {
  WriteChain();
  struct Case {
    const char* name;
    std::string options;
    std::size_t chain;
  };
  const Case kCases[] = {
      {"AES-256 (PBES2) on both bags, SHA-256 MAC",
       "-keypbe AES-256-CBC -certpbe AES-256-CBC -macalg sha256", 0},
      {"RC2-40 key bag", "-legacy -keypbe PBE-SHA1-RC2-40", 0},
      {"RC2-128 on both bags", "-legacy -keypbe PBE-SHA1-RC2-128 -certpbe PBE-SHA1-RC2-128", 0},
      {"RC2-40 on both bags", "-legacy -keypbe PBE-SHA1-RC2-40 -certpbe PBE-SHA1-RC2-40", 0},
      {"3DES on both bags", "-keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES", 0},
      {"as Windows exports: 3DES key, RC2-40 certificates, SHA-1 MAC, names and CSP",
       "-legacy -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-RC2-40 -macalg sha1 -name 'EMPRESA' "
       "-CSP 'Microsoft Enhanced Cryptographic Provider v1.0' -certfile cadeia.pem",
       2},
      {"no MAC, AES-256", "-nomac", 0},
      {"no MAC, RC2-40 key bag", "-nomac -legacy -keypbe PBE-SHA1-RC2-40", 0},
      {"nothing encrypted", "-nomac -keypbe NONE -certpbe NONE", 0},
      {"chain of two CAs, legacy", "-legacy -certfile cadeia.pem", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string serial;
    const certstore::TStoreEntry entry =
        certstore::ImportPkcs12(Exported(c.options, kPassword, serial), kPassword);
    EXPECT_EQ(text::ToUtf8(entry.SerialNumber), serial);
    const ICertificate2Ptr imported = certstore::LoadCertificateFile(entry.File);
    ASSERT_NE(imported, nullptr);
    EXPECT_TRUE(imported->HasUsablePrivateKey());
    EXPECT_EQ(imported->Chain().size(), c.chain);

    // The same kind of file without a password, read by the store as it is.
    const fs::path open = FDir / "aberto.pfx";
    TScratchDirectory::WriteBytes(open, Exported(c.options, "", serial));
    Text whyNot;
    const ICertificate2Ptr stored = certstore::LoadCertificateFile(open, &whyNot);
    ASSERT_NE(stored, nullptr) << text::ToUtf8(whyNot);
    EXPECT_EQ(text::ToUtf8(stored->SerialNumber()), serial);
    EXPECT_TRUE(stored->HasUsablePrivateKey());
    EXPECT_EQ(stored->Chain().size(), c.chain);
  }
}

// A file put together piece by piece: the test certificate and its key, the key encrypted with
// APbe (or PBES2 with ACipher when APbe is -1) and then changed by AAlter, a MAC over it all
// when AMac. What the openssl command would never write.
std::string Crafted(const char* APassword, int APbe, const EVP_CIPHER* ACipher,
                    const std::function<void(X509_ALGOR*, ASN1_OCTET_STRING*)>& AAlter, bool AMac) {
  TTestStore sources(false);
  const ICertificate2Ptr entry = certstore::LoadCertificateFile(sources.Add(TCertificateRequest()));
  using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, CFree<PKCS8_PRIV_KEY_INFO_free>>;
  using BagPtr = std::unique_ptr<PKCS12_SAFEBAG, CFree<PKCS12_SAFEBAG_free>>;
  const auto freeBags = [](STACK_OF(PKCS12_SAFEBAG) * bags) {
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  };
  const auto freeSafes = [](STACK_OF(PKCS7) * safes) { sk_PKCS7_pop_free(safes, PKCS7_free); };
  std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), decltype(freeBags)> bags{sk_PKCS12_SAFEBAG_new_null(),
                                                                     freeBags};
  std::unique_ptr<STACK_OF(PKCS7), decltype(freeSafes)> safes{sk_PKCS7_new_null(), freeSafes};

  const P8Ptr plain{EVP_PKEY2PKCS8(entry->PrivateKey().Handle())};
  X509_SIG* shrouded = PKCS8_encrypt_ex(APbe, ACipher, APassword, -1, nullptr, 0, 2048, plain.get(),
                                        nullptr, nullptr);
  if (!shrouded) return {};
  X509_ALGOR* algorithm = nullptr;
  ASN1_OCTET_STRING* encrypted = nullptr;
  X509_SIG_getm(shrouded, &algorithm, &encrypted);
  AAlter(algorithm, encrypted);
  BagPtr keyBag{PKCS12_SAFEBAG_create0_pkcs8(shrouded)};
  BagPtr certBag{PKCS12_SAFEBAG_create_cert(entry->Handle())};
  if (!keyBag || !certBag || !sk_PKCS12_SAFEBAG_push(bags.get(), keyBag.get())) return {};
  keyBag.release();
  if (!sk_PKCS12_SAFEBAG_push(bags.get(), certBag.get())) return {};
  certBag.release();
  PKCS7* safe = PKCS12_pack_p7data(bags.get());
  if (!safe || !sk_PKCS7_push(safes.get(), safe)) {
    PKCS7_free(safe);
    return {};
  }
  Pkcs12Ptr p12{PKCS12_add_safes(safes.get(), 0)};
  if (!p12) return {};
  if (AMac && PKCS12_set_mac(p12.get(), APassword, -1, nullptr, 0, 2048, EVP_sha256()) != 1)
    return {};
  unsigned char* der = nullptr;
  const int length = i2d_PKCS12(p12.get(), &der);
  const DerBufferPtr owner{der};
  return length > 0 ? std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(length))
                    : std::string{};
}

// Stands in for a cipher of another country's standard: PBES2 naming GOST 28147-89, which no
// OpenSSL provider here has.
void GostCipher(X509_ALGOR* AAlgorithm, ASN1_OCTET_STRING*) {
  std::unique_ptr<PBE2PARAM, CFree<PBE2PARAM_free>> pbes2{static_cast<PBE2PARAM*>(
      ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), AAlgorithm->parameter))};
  ASSERT_NE(pbes2, nullptr);
  ASN1_OBJECT_free(pbes2->encryption->algorithm);
  pbes2->encryption->algorithm = OBJ_nid2obj(NID_id_Gost28147_89);
  ASSERT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbes2.get(), &AAlgorithm->parameter),
            nullptr);
}

// A PKCS#12 password-based scheme identifier nobody has assigned.
void UnknownScheme(X509_ALGOR* AAlgorithm, ASN1_OCTET_STRING*) {
  ASN1_OBJECT_free(AAlgorithm->algorithm);
  AAlgorithm->algorithm = OBJ_txt2obj("1.2.840.113549.1.12.1.99", 1);
}

// The last byte of the next-to-last 3DES block: the padding that decryption checks is then
// always wrong.
void DamagedCiphertext(X509_ALGOR*, ASN1_OCTET_STRING* AEncrypted) {
  ASSERT_GT(AEncrypted->length, 16);
  AEncrypted->data[AEncrypted->length - 9] ^= 0x80;
}

void Untouched(X509_ALGOR*, ASN1_OCTET_STRING*) {}

TEST_F(Pkcs12ImportTest, RefusalsTellPasswordAlgorithmAndContentApart) {
  using namespace store_messages;
  std::string serial;
  const std::string withMac = Exported("-legacy -keypbe PBE-SHA1-RC2-40", kPassword, serial);
  const std::string withoutMac =
      Exported("-nomac -legacy -keypbe PBE-SHA1-RC2-40", kPassword, serial);
  const EVP_CIPHER* aes = EVP_aes_256_cbc();
  const int tripleDes = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
  const Text gost = u"GOST 28147-89 (1.2.643.2.2.21)";
  struct Case {
    const char* name;
    std::string file;
    const char* password;
    Text message;
  };
  const Case kCases[] = {
      {"wrong password, MAC", withMac, "Segredo", Text(kWrongPassword) + u"."},
      {"wrong password, no MAC", withoutMac, "Segredo", Text(kWrongPassword) + u"."},
      {"empty password for a protected file", withMac, "", Text(kWrongPassword) + u"."},
      {"GOST cipher, MAC", Crafted(kPassword, -1, aes, GostCipher, true), kPassword,
       Text(kUnsupportedEncryption) + gost + u"."},
      {"GOST cipher, no MAC", Crafted(kPassword, -1, aes, GostCipher, false), kPassword,
       Text(kUnsupportedEncryption) + gost + u"."},
      {"GOST cipher, no MAC, wrong password", Crafted(kPassword, -1, aes, GostCipher, false),
       "outra", Text(kUnsupportedEncryption) + gost + u"."},
      {"unknown scheme", Crafted(kPassword, tripleDes, nullptr, UnknownScheme, true), kPassword,
       Text(kUnsupportedEncryption) + u"1.2.840.113549.1.12.1.99."},
      {"MAC verifies, key bag damaged",
       Crafted(kPassword, tripleDes, nullptr, DamagedCiphertext, true), kPassword,
       Text(kNotDecrypted) + u"pbeWithSHA1And3-KeyTripleDES-CBC (1.2.840.113549.1.12.1.3)."},
      {"not PKCS#12", std::string(200, 'x'), kPassword, Text(kNotPkcs12) + u"."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.file.empty());
    EXPECT_EQ(ErrorOf([&] { certstore::ImportPkcs12(c.file, c.password); }).Message, c.message);
  }
  // The untouched piece-by-piece file opens: the refusals above are the changes' doing.
  EXPECT_NO_THROW(
      certstore::ImportPkcs12(Crafted(kPassword, tripleDes, nullptr, Untouched, true), kPassword));
}

TEST_F(Pkcs12ImportTest, StoreNamesTheAlgorithmItLacksAndAsksForImportOfProtectedFiles) {
  struct Case {
    const char* name;
    std::string file;
    Text reason;
  };
  std::string serial;
  const Case kCases[] = {
      {"GOST cipher", Crafted("", -1, EVP_aes_256_cbc(), GostCipher, true),
       Text(store_messages::kUnsupportedEncryption) + u"GOST 28147-89 (1.2.643.2.2.21)."},
      {"protected, no MAC", Exported("-nomac -legacy -keypbe PBE-SHA1-RC2-40", kPassword, serial),
       Text(store_messages::kPasswordProtected)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path file = FDir / "arquivo.p12";
    TScratchDirectory::WriteBytes(file, c.file);
    Text whyNot;
    EXPECT_EQ(certstore::LoadCertificateFile(file, &whyNot), nullptr);
    EXPECT_EQ(whyNot, c.reason);
  }
}

// A certificate that may not sign NFS-e is refused at import, with the reason, instead of
// failing at its first signature; nothing is written to the store.
TEST_F(Pkcs12ImportTest, CertificatesThatCannotSignAreRefusedWithTheReason) {
  struct Case {
    const char* name;
    TCertificateRequest certificate;
    std::string reason;
  };
  const Case kCases[] = {
      {"EC key", TCertificateRequest("ec.pem").EcKey(),
       "a chave do certificado é EC; só chaves RSA são usadas nas NFS-e"},
      {"an AC's certificate", TCertificateRequest("ac.pem").CaCertificate(),
       "autoridade certificadora"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string serial;
    const std::string file = Exported("", kPassword, serial, c.certificate);
    try {
      certstore::ImportPkcs12(file, kPassword);
      ADD_FAILURE() << "importado";
    } catch (const std::exception& e) {
      const std::string message = text::ToUtf8(MessageOf(e));
      EXPECT_EQ(message.rfind("O certificado não pode assinar NFS-e: ", 0), 0u) << message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    EXPECT_TRUE(certstore::EntriesWithSerial(text::FromUtf8(serial)).empty());
  }
}

}  // namespace
