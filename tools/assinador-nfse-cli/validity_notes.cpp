#include "tools/assinador-nfse-cli/validity_notes.h"

#include "platform/sys/date_time_text.h"
#include "server/classes/certificate_messages.h"

Text SigningWarning(TValidity AValidity, const Text& ASerial, const Text& AName,
                    const Text& ADate) {
  if (AValidity == TValidity::Valid) return {};
  const Text certificate = u"aviso: o certificado " + ASerial + u" (" + AName + u")";
  const Text when = AValidity == TValidity::Expired ? u" venceu em " : u" só é válido a partir de ";
  return certificate + when + ADate + u"; a prefeitura pode recusar a assinatura.";
}

namespace {

// The value of AKey in the "|"-separated pairs after the name, empty when missing.
Text ValueOf(TextView APairs, TextView AKey) {
  for (std::size_t at = 0; at <= APairs.size();) {
    const std::size_t end =
        std::min(APairs.find(certificate_messages::kSeparator, at), APairs.size());
    const TextView pair = APairs.substr(at, end - at);
    if (pair.starts_with(AKey)) return Text(pair.substr(AKey.size()));
    at = end + 1;
  }
  return {};
}

}  // namespace

TListedCertificate ParseListEntry(TextView AEntry) {
  TListedCertificate listed;
  // The name ends at the first "=", as the service's name-value list reads it.
  const std::size_t equals = std::min(AEntry.find(u'='), AEntry.size());
  listed.Name = Text(AEntry.substr(0, equals));
  const TextView pairs = equals < AEntry.size() ? AEntry.substr(equals + 1) : TextView{};
  listed.Serial = ValueOf(pairs, certificate_messages::kSerialKey);
  listed.ValidTo = ValueOf(pairs, certificate_messages::kValidateKey);
  listed.Issuer = ValueOf(pairs, certificate_messages::kIssuerKey);
  if (std::optional<std::tm> local = sys::ParseDateTime(listed.ValidTo))
    listed.Expiry = std::mktime(&*local);
  return listed;
}
