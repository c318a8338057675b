#include "server/classes/digital_certificate.h"

#include "platform/certstore/store.h"
#include "platform/exception.h"
#include "platform/sys/date_time_text.h"
#include "server/classes/certificados_conf.h"
#include "server/classes/certificate_messages.h"

namespace {

TextView NamePart(TextView entry) {
  const auto equals = entry.find(u'=');
  return equals == TextView::npos ? entry : entry.substr(0, equals);
}

// Name-value assignment: replaces the first entry of the same name in place, else appends.
void AssignValue(std::vector<Text>& list, const Text& name, const Text& value) {
  Text entry = name + u'=' + value;
  for (auto& existing : list) {
    // Names compare letter by letter through the locale.
    if (text::SameTextLocale(NamePart(existing), name)) {
      existing = std::move(entry);
      return;
    }
  }
  list.push_back(std::move(entry));
}

}  // namespace

std::vector<Text> TDigitalCertificate::getListSerialNumber() {
  try {
    std::vector<Text> list;
    IStore3 store;
    store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    const ICertificates2 certificates = store.Certificates();
    for (int i = 1; i <= certificates.Count(); ++i) {
      const ICertificate2Ptr certificate = certificates.Item(i);
      // Certificate dates carry no fraction of a second.
      const Text date = sys::FormatDateTime(certificate->ValidToDate(), 0);
      Text value{certificate_messages::kSerialKey};
      value += certificate->SerialNumber();
      value += certificate_messages::kSeparator;
      value += certificate_messages::kValidateKey;
      value += date;
      value += certificate_messages::kSeparator;
      value += certificate_messages::kIssuerKey;
      value += certificate->GetInfo(CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME);
      AssignValue(list, certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME), value);
    }
    return list;
  } catch (const std::exception& e) {
    throw Exception(Text{certificate_messages::kListFailed} + CR + MessageOf(e));
  }
}

ICertificate2Ptr TDigitalCertificate::getCertificateBySerial(const Text& ASerialNumber) {
  std::optional<ICertificates2> listing;
  return getCertificateBySerial(ASerialNumber, listing);
}

ICertificate2Ptr TDigitalCertificate::getCertificateBySerial(
    const Text& ASerialNumber, std::optional<ICertificates2>& AListing) {
  try {
    TCertificadosConf configuration;
    configuration.setNumeroSerie(text::ToLocale(ASerialNumber));
    if (configuration.NumeroSerie().empty()) return configuration.GetCertificado();
    IStore3 store;
    store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    AListing.emplace(store.Certificates());
    return configuration.GetCertificado(*AListing);
  } catch (const std::exception& e) {
    throw Exception(Text{certificate_messages::kGetFailed} + CR + MessageOf(e));
  }
}
