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
  ICertificate2Ptr result;
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificates2 certificates = store.Certificates();
  const Text wanted = text::FromLocale(FNumeroSerie);
  for (int i = 1; i <= certificates.Count(); ++i) {
    ICertificate2Ptr candidate = certificates.Item(i);
    if (candidate->SerialNumber() != wanted) continue;
    candidate->PrivateKey();  // the first match must have a usable key; no later one is tried
    result = std::move(candidate);
    break;
  }
  if (!result) throw Exception(Text{certificate_messages::kNotFound});
  return result;
}
