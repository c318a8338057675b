#include "server/classes/certificados_conf.h"

#include "platform/certstore/store.h"
#include "platform/exception.h"
#include "server/classes/certificate_messages.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string TCertificadosConf::Normalize(std::string_view AValue) {
  std::string out;
  out.reserve(AValue.size());
  for (const char c : AValue) {
    if (c == ' ') continue;
    out.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return std::string{TrimBlanks(out)};
}

void TCertificadosConf::setNumeroSerie(std::string_view AValue) {
  FNumeroSerie = Normalize(AValue);
}

ICertificate2Ptr TCertificadosConf::GetCertificado() {
  if (TrimBlanks(FNumeroSerie).empty()) throw Exception(Text{certificate_messages::kSerialMissing});
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  return GetCertificado(store.Certificates());
}

ICertificate2Ptr TCertificadosConf::GetCertificado(const ICertificates2& certificates) {
  if (TrimBlanks(FNumeroSerie).empty()) throw Exception(Text{certificate_messages::kSerialMissing});
  ICertificate2Ptr result;
  const Text wanted = text::FromLocale(FNumeroSerie);
  // Serials are unique per issuer only, and a store may hold a certificate both alone and
  // with its key: the first match with a usable key is the one to sign with. When none has
  // one, the first match's failure is the answer.
  ICertificate2Ptr firstMatch;
  for (int i = 1; i <= certificates.Count() && !result; ++i) {
    ICertificate2Ptr candidate = certificates.Item(i);
    if (candidate->SerialNumber() != wanted) continue;
    if (!firstMatch) firstMatch = candidate;
    if (candidate->HasUsablePrivateKey()) result = std::move(candidate);
  }
  if (!firstMatch) throw Exception(Text{certificate_messages::kNotFound});
  if (!result) firstMatch->PrivateKey();  // throws the component's reason
  return result ? result : firstMatch;
}
