#include "platform/certstore/certificate.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "platform/certstore/store_messages.h"
#include "platform/component_error.h"

namespace {

Text Asn1ToText(const ASN1_STRING* value) {
  unsigned char* raw = nullptr;
  const int length = ASN1_STRING_to_UTF8(&raw, value);
  if (length < 0) {
    ERR_clear_error();
    return {};
  }
  Asn1Utf8Ptr owner{raw};
  return text::FromUtf8(
      std::string_view{reinterpret_cast<const char*>(raw), static_cast<std::size_t>(length)});
}

// The first entry of the name with that attribute, or nothing.
bool FirstEntry(const X509_NAME* name, int nid, Text& out) {
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return false;
  out = Asn1ToText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  return true;
}

bool FirstEmail(const X509* cert, int altNameNid, Text& out) {
  GeneralNamesPtr names{
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, altNameNid, nullptr, nullptr))};
  if (!names) return false;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names.get(), i);
    if (entry->type == GEN_EMAIL) {
      out = Asn1ToText(entry->d.rfc822Name);
      return true;
    }
  }
  return false;
}

// CN, else the first OU, else O, else the e-mail address (name attribute, then alternative
// name), else empty: the order in which the platform's store shows a "simple name".
Text SimpleName(const X509* cert, const X509_NAME* name, int altNameNid) {
  Text out;
  for (const int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    if (FirstEntry(name, nid, out)) return out;
  }
  if (FirstEmail(cert, altNameNid, out)) return out;
  return {};
}

// The serial's content bytes as they stand in the certificate (a positive serial whose top
// bit is set keeps its leading zero byte).
Text SerialText(const X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  unsigned char* der = nullptr;
  const int length = i2d_ASN1_INTEGER(serial, &der);
  if (length <= 0) {
    ERR_clear_error();
    return {};
  }
  DerBufferPtr owner{der};
  const unsigned char* cursor = der;
  long contentLength = 0;
  int tag = 0;
  int cls = 0;
  if (ASN1_get_object(&cursor, &contentLength, &tag, &cls, length) & 0x80) {
    ERR_clear_error();
    return {};
  }
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  Text out;
  for (long i = 0; i < contentLength; ++i) {
    out.push_back(kDigits[cursor[i] >> 4]);
    out.push_back(kDigits[cursor[i] & 0x0F]);
  }
  return out;
}

std::time_t Moment(const ASN1_TIME* time) {
  std::tm utc{};
  if (ASN1_TIME_to_tm(time, &utc) != 1) {
    ERR_clear_error();
    return 0;
  }
  return timegm(&utc);
}

}  // namespace

IPrivateKey::IPrivateKey(EvpPkeyPtr AKey, Text AContainerName)
    : FKey(std::move(AKey)), FContainerName(std::move(AContainerName)) {}

Text IPrivateKey::ProviderName() const { return u"OpenSSL"; }

int IPrivateKey::ProviderType() const { return FKey ? EVP_PKEY_get_base_id(FKey.get()) : 0; }

ICertificate2::ICertificate2(X509Ptr ACertificate, EvpPkeyPtr AKey, std::vector<X509Ptr> AChain,
                             Text AContainerName)
    : FCertificate(std::move(ACertificate)),
      FKey(std::move(AKey)),
      FChain(std::move(AChain)),
      FContainerName(std::move(AContainerName)) {
  if (!FCertificate) component::Fail(store_messages::kNoCertificate);
  if (FKey) {
    FKeyMatches = X509_check_private_key(FCertificate.get(), FKey.get()) == 1;
    ERR_clear_error();
  }
  FSerialNumber = SerialText(FCertificate.get());
  FValidTo = Moment(X509_get0_notAfter(FCertificate.get()));
  FValidFrom = Moment(X509_get0_notBefore(FCertificate.get()));
  FSubjectName = SimpleName(FCertificate.get(), X509_get_subject_name(FCertificate.get()),
                            NID_subject_alt_name);
  FIssuerName =
      SimpleName(FCertificate.get(), X509_get_issuer_name(FCertificate.get()), NID_issuer_alt_name);
}

ICertificate2::ICertificate2(X509Ptr ACertificate, std::shared_ptr<const IKeyHolder> AKeyHolder,
                             Text AContainerName)
    : ICertificate2(std::move(ACertificate), EvpPkeyPtr{}, {}, std::move(AContainerName)) {
  FKeyHolder = std::move(AKeyHolder);
}

std::tm ICertificate2::ValidToDate() const {
  std::tm local{};
  localtime_r(&FValidTo, &local);
  return local;
}

Text ICertificate2::GetInfo(int AInfoType) const {
  switch (AInfoType) {
    case CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME:
      return FSubjectName;
    case CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME:
      return FIssuerName;
    default:
      return {};
  }
}

IPrivateKey ICertificate2::PrivateKey() const {
  if (FKeyHolder) return IPrivateKey{FKeyHolder->Key(), FContainerName};
  if (!FKey) component::Fail(store_messages::kNoPrivateKey);
  if (!FKeyMatches) component::Fail(store_messages::kKeyMismatch);
  return IPrivateKey{openssl::UpRef(FKey.get()), FContainerName};
}
