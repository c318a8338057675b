#include "platform/certstore/pkcs12_reader.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <optional>
#include <string>

#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"

namespace certstore {
namespace {

using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, CFree<EVP_CIPHER_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, CFree<EVP_MD_free>>;
using Pbe2ParamPtr = std::unique_ptr<PBE2PARAM, CFree<PBE2PARAM_free>>;
using Pbkdf2ParamPtr = std::unique_ptr<PBKDF2PARAM, CFree<PBKDF2PARAM_free>>;
using P8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, CFree<PKCS8_PRIV_KEY_INFO_free>>;

void FreeSafes(STACK_OF(PKCS7) * ASafes) noexcept { sk_PKCS7_pop_free(ASafes, PKCS7_free); }
void FreeBags(STACK_OF(PKCS12_SAFEBAG) * ABags) noexcept {
  sk_PKCS12_SAFEBAG_pop_free(ABags, PKCS12_SAFEBAG_free);
}
using SafesPtr = std::unique_ptr<STACK_OF(PKCS7), CFree<FreeSafes>>;
using BagsPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), CFree<FreeBags>>;

[[noreturn]] void Fail(TPkcs12Failure AKind, TextView AMessage, const Text& ADetail = {}) {
  ERR_clear_error();
  throw TPkcs12Error(AKind, Text{AMessage} + ADetail + u".");
}

// "pbeWithSHA1And40BitRC2-CBC (1.2.840.113549.1.12.1.6)", or the bare identifier of an object
// OpenSSL has no name for: people can look either up.
Text NameOf(const ASN1_OBJECT* AObject) {
  if (!AObject) return u"?";
  char oid[128];
  const int length = OBJ_obj2txt(oid, sizeof oid, AObject, 1);
  const std::string dotted = length > 0 ? std::string(oid) : std::string("?");
  const int nid = OBJ_obj2nid(AObject);
  if (nid == NID_undef) return text::FromUtf8(dotted);
  const char* name = OBJ_nid2ln(nid);
  return text::FromUtf8(std::string(name ? name : OBJ_nid2sn(nid)) + " (" + dotted + ")");
}

bool CipherAvailable(OSSL_LIB_CTX* AContext, int ANid) {
  if (ANid == NID_undef) return false;
  const EvpCipherPtr cipher{EVP_CIPHER_fetch(AContext, OBJ_nid2sn(ANid), nullptr)};
  return cipher != nullptr;
}

bool DigestAvailable(OSSL_LIB_CTX* AContext, int ANid) {
  if (ANid == NID_undef) return false;
  const EvpMdPtr digest{EVP_MD_fetch(AContext, OBJ_nid2sn(ANid), nullptr)};
  return digest != nullptr;
}

// The part of a bag's encryption that this program cannot use, named; nothing when every part
// is there. Asked before decrypting, so that a missing cipher is told apart from a password
// that does not fit.
std::optional<Text> UnsupportedPart(OSSL_LIB_CTX* AContext, const X509_ALGOR* AAlgorithm) {
  const int nid = OBJ_obj2nid(AAlgorithm->algorithm);
  if (nid != NID_pbes2) {
    int cipher = NID_undef;
    int digest = NID_undef;
    if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, &cipher, &digest, nullptr) != 1 ||
        (cipher != -1 && !CipherAvailable(AContext, cipher)) ||
        (digest != -1 && !DigestAvailable(AContext, digest)))
      return NameOf(AAlgorithm->algorithm);
    return std::nullopt;
  }
  const Pbe2ParamPtr pbes2{static_cast<PBE2PARAM*>(
      ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), AAlgorithm->parameter))};
  if (!pbes2) return std::nullopt;  // malformed: decryption tells
  const int kdf = OBJ_obj2nid(pbes2->keyfunc->algorithm);
  if (EVP_PBE_find(EVP_PBE_TYPE_KDF, kdf, nullptr, nullptr, nullptr) != 1)
    return NameOf(pbes2->keyfunc->algorithm);
  if (kdf == NID_id_pbkdf2) {
    const Pbkdf2ParamPtr pbkdf2{static_cast<PBKDF2PARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter))};
    if (pbkdf2 && pbkdf2->prf) {
      int digest = NID_undef;
      if (EVP_PBE_find(EVP_PBE_TYPE_PRF, OBJ_obj2nid(pbkdf2->prf->algorithm), nullptr, &digest,
                       nullptr) != 1 ||
          !DigestAvailable(AContext, digest))
        return NameOf(pbkdf2->prf->algorithm);
    }
  }
  if (!CipherAvailable(AContext, OBJ_obj2nid(pbes2->encryption->algorithm)))
    return NameOf(pbes2->encryption->algorithm);
  return std::nullopt;
}

// Whether the library's errors of a failed decryption say an algorithm was missing, which the
// question above may not foresee (a key length the cipher does not take, say).
bool QueueSaysUnsupported() {
  bool unsupported = false;
  while (const unsigned long code = ERR_get_error()) {
    const int reason = ERR_GET_REASON(code);
    if (reason == ERR_R_UNSUPPORTED ||
        (ERR_GET_LIB(code) == ERR_LIB_EVP &&
         (reason == EVP_R_UNSUPPORTED_CIPHER || reason == EVP_R_UNSUPPORTED_ALGORITHM ||
          reason == EVP_R_UNKNOWN_PBE_ALGORITHM || reason == EVP_R_UNSUPPORTED_PRF ||
          reason == EVP_R_UNSUPPORTED_KEY_DERIVATION_FUNCTION ||
          reason == EVP_R_UNSUPPORTED_KEYLENGTH)))
      unsupported = true;
  }
  return unsupported;
}

// A password as the decryption calls take it; a null Data is the absent password.
struct TPassword {
  const char* Data;
  int Length;
};

class TReader {
 public:
  TReader(OSSL_LIB_CTX* AContext, std::vector<TPassword> ACandidates, bool AMacVerified)
      : FContext(AContext), FCandidates(std::move(ACandidates)), FMacVerified(AMacVerified) {}

  void ReadSafes(PKCS12* AP12) {
    const SafesPtr safes{PKCS12_unpack_authsafes(AP12)};
    if (!safes) Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
      PKCS7* safe = sk_PKCS7_value(safes.get(), i);
      BagsPtr bags;
      if (PKCS7_type_is_data(safe)) {
        bags.reset(PKCS12_unpack_p7data(safe));
      } else if (PKCS7_type_is_encrypted(safe)) {
        bags = DecryptSafe(safe);
      } else {
        continue;  // enveloped with a public key: nothing a password opens
      }
      if (!bags) Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
      ReadBags(bags.get());
    }
  }

  // The certificate the key belongs to, wherever it stands in the file; the rest in order.
  TPkcs12Contents Take() {
    for (X509Ptr& certificate : FCertificates) {
      if (FContents.Key && !FContents.Certificate &&
          X509_check_private_key(certificate.get(), FContents.Key.get()) == 1) {
        FContents.Certificate = std::move(certificate);
      } else {
        FContents.Others.push_back(std::move(certificate));
      }
    }
    ERR_clear_error();
    return std::move(FContents);
  }

 private:
  BagsPtr DecryptSafe(PKCS7* ASafe) {
    const PKCS7_ENCRYPT* encrypted = ASafe->d.encrypted;
    if (!encrypted || !encrypted->enc_data || !encrypted->enc_data->algorithm ||
        !encrypted->enc_data->enc_data)
      Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
    const X509_ALGOR* algorithm = encrypted->enc_data->algorithm;
    const ASN1_OCTET_STRING* data = encrypted->enc_data->enc_data;
    return BagsPtr{
        static_cast<STACK_OF(PKCS12_SAFEBAG)*>(Decrypt(algorithm, [&](const TPassword& APassword) {
          return PKCS12_item_decrypt_d2i_ex(algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS),
                                            APassword.Data, APassword.Length, data, 1, FContext,
                                            nullptr);
        }))};
  }

  // Runs ADecrypt with each password still in question; the first that works is the only one
  // asked afterwards.
  template <class TDecrypt>
  void* Decrypt(const X509_ALGOR* AAlgorithm, TDecrypt ADecrypt) {
    if (const auto missing = UnsupportedPart(FContext, AAlgorithm))
      Fail(TPkcs12Failure::Unsupported, store_messages::kUnsupportedEncryption, *missing);
    bool unsupported = false;
    for (const TPassword& password : FCandidates) {
      if (void* plain = ADecrypt(password)) {
        FCandidates = {password};
        return plain;
      }
      unsupported = QueueSaysUnsupported() || unsupported;
    }
    if (unsupported)
      Fail(TPkcs12Failure::Unsupported, store_messages::kUnsupportedEncryption,
           NameOf(AAlgorithm->algorithm));
    if (!FMacVerified) Fail(TPkcs12Failure::WrongPassword, store_messages::kWrongPassword);
    Fail(TPkcs12Failure::Undecryptable, store_messages::kNotDecrypted,
         NameOf(AAlgorithm->algorithm));
  }

  void ReadBags(const STACK_OF(PKCS12_SAFEBAG) * ABags) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(ABags); ++i) {
      const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(ABags, i);
      switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
          if (!FContents.Key) TakeKey(PKCS12_SAFEBAG_get0_p8inf(bag));
          break;
        case NID_pkcs8ShroudedKeyBag:
          if (!FContents.Key) DecryptKey(bag);
          break;
        case NID_certBag:
          if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
            // A certificate that does not decode is one the entry can do without.
            if (X509Ptr certificate{PKCS12_SAFEBAG_get1_cert(bag)})
              FCertificates.push_back(std::move(certificate));
          }
          break;
        case NID_safeContentsBag:
          ReadBags(PKCS12_SAFEBAG_get0_safes(bag));
          break;
        default:
          break;  // CRLs, secrets: not for signing
      }
    }
  }

  void DecryptKey(const PKCS12_SAFEBAG* ABag) {
    const X509_SIG* shrouded = PKCS12_SAFEBAG_get0_pkcs8(ABag);
    const X509_ALGOR* algorithm = nullptr;
    if (shrouded) X509_SIG_get0(shrouded, &algorithm, nullptr);
    if (!algorithm) Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
    const P8InfoPtr plain{
        static_cast<PKCS8_PRIV_KEY_INFO*>(Decrypt(algorithm, [&](const TPassword& APassword) {
          return PKCS12_decrypt_skey_ex(ABag, APassword.Data, APassword.Length, FContext, nullptr);
        }))};
    TakeKey(plain.get());
  }

  void TakeKey(const PKCS8_PRIV_KEY_INFO* AInfo) {
    if (!AInfo) Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
    FContents.Key.reset(EVP_PKCS82PKEY(AInfo));
    if (FContents.Key) return;
    const ASN1_OBJECT* kind = nullptr;
    PKCS8_pkey_get0(&kind, nullptr, nullptr, nullptr, AInfo);
    Fail(TPkcs12Failure::Unsupported, store_messages::kUnsupportedKey, NameOf(kind));
  }

  OSSL_LIB_CTX* FContext;
  std::vector<TPassword> FCandidates;
  bool FMacVerified;
  std::vector<X509Ptr> FCertificates;  // all of the file's, in order
  TPkcs12Contents FContents;
};

}  // namespace

TPkcs12Contents ReadPkcs12(std::string_view ABytes, std::string_view APassword) {
  OSSL_LIB_CTX* legacy = LegacyContext();
  BioPtr bio{BIO_new_mem_buf(ABytes.data(), static_cast<int>(ABytes.size()))};
  if (!bio) openssl::ThrowError("BIO_new_mem_buf");
  Pkcs12Ptr p12;
  {
    // Decoded into the legacy context, so that its integrity check finds old digests too.
    PKCS12* fresh = PKCS12_init_ex(NID_pkcs7_data, legacy, nullptr);
    if (!fresh) openssl::ThrowError("PKCS12_init_ex");
    PKCS12* decoded = d2i_PKCS12_bio(bio.get(), &fresh);
    // A failed decode frees the object it was given and clears the pointer, but a failed read
    // leaves it untouched.
    if (!decoded) PKCS12_free(fresh);
    p12.reset(decoded);
  }
  if (!p12) Fail(TPkcs12Failure::NotPkcs12, store_messages::kNotPkcs12);
  // A password the user typed is a C string: a NUL inside would cut it short unnoticed.
  if (APassword.find('\0') != std::string_view::npos)
    Fail(TPkcs12Failure::WrongPassword, store_messages::kWrongPassword);
  std::string password{APassword};
  struct TCleanse {
    std::string& Bytes;
    ~TCleanse() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
  } cleanse{password};
  // An empty password may have been encoded as none at all.
  std::vector<TPassword> candidates{{password.c_str(), static_cast<int>(password.size())}};
  if (password.empty()) candidates.push_back({nullptr, 0});

  const bool mac = PKCS12_mac_present(p12.get()) == 1;
  if (mac) {
    const X509_ALGOR* digest = nullptr;
    PKCS12_get0_mac(nullptr, &digest, nullptr, nullptr, p12.get());
    const ASN1_OBJECT* digestObject = nullptr;
    if (digest) X509_ALGOR_get0(&digestObject, nullptr, nullptr, digest);
    if (!DigestAvailable(legacy, OBJ_obj2nid(digestObject)))
      Fail(TPkcs12Failure::Unsupported, store_messages::kUnsupportedIntegrity,
           NameOf(digestObject));
    // The check runs the key derivation once per password, however many rounds it asks for.
    std::erase_if(candidates, [&](const TPassword& ACandidate) {
      return PKCS12_verify_mac(p12.get(), ACandidate.Data, ACandidate.Length) != 1;
    });
    if (candidates.empty()) Fail(TPkcs12Failure::WrongPassword, store_messages::kWrongPassword);
    candidates.resize(1);
  }
  TReader reader(legacy, std::move(candidates), mac);
  reader.ReadSafes(p12.get());
  return reader.Take();
}

}  // namespace certstore
