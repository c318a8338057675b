#include "server/utils/certificate_validity.h"

#include <string>

#include "platform/certstore/store.h"
#include "platform/sys/date_time_text.h"
#include "server/utils/validity_messages.h"

namespace {

namespace msg = validity_messages;

constexpr std::time_t kDay = 24 * 60 * 60;
// Room for the tray's line beside the product line and the server state, within the 127
// characters a tray hint shows.
constexpr std::size_t kHintNameLength = 30;

Text DateText(std::time_t AMoment) {
  std::tm local{};
  localtime_r(&AMoment, &local);
  return sys::FormatDateTime(local, 0);
}

// Whole days left, a started day counting as one: 0 only once the end has come.
long DaysLeft(std::time_t ATo, std::time_t ANow) {
  return static_cast<long>((ATo - ANow + kDay - 1) / kDay);
}

Text Number(long AValue) { return text::FromAscii(std::to_string(AValue)); }

Text Record(const TCertificateDates& ACertificate, std::time_t ANow) {
  Text record = Text(msg::kJournalTag) + ACertificate.Serial + u" (" + ACertificate.Subject + u")";
  if (ACertificate.To < ANow)
    return record + Text(msg::kExpiredOn) + DateText(ACertificate.To) + Text(msg::kExpiredAdvice);
  const long days = DaysLeft(ACertificate.To, ANow);
  record += Text(msg::kExpiresOn) + DateText(ACertificate.To);
  record += days == 1 ? Text(msg::kOneDayLeft)
                      : Text(msg::kDaysLeft) + Number(days) + Text(msg::kDays) + u")";
  return record + Text(msg::kExpiresAdvice);
}

Text HintLineOf(const TCertificateDates& ACertificate, std::time_t ANow) {
  const Text name = ACertificate.Subject.substr(0, kHintNameLength);
  if (ACertificate.To < ANow) return Text(msg::kHintExpired) + name;
  const long days = DaysLeft(ACertificate.To, ANow);
  if (days == 0) return Text(msg::kHintExpiresToday) + name;
  return Text(msg::kHintExpiresIn) + Number(days) + Text(days == 1 ? msg::kOneDay : msg::kDays) +
         u": " + name;
}

}  // namespace

TValidity ValidityAt(std::time_t AFrom, std::time_t ATo, std::time_t ANow) {
  if (ANow < AFrom) return TValidity::NotYetValid;
  if (ANow > ATo) return TValidity::Expired;
  return TValidity::Valid;
}

std::vector<TCertificateDates> StoreCertificateDates() {
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificates2 certificates = store.Certificates();
  std::vector<TCertificateDates> dates;
  for (int i = 1; i <= certificates.Count(); ++i) {
    const ICertificate2Ptr certificate = certificates.Item(i);
    dates.push_back({certificate->SerialNumber(),
                     certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME),
                     certificate->ValidFrom(), certificate->ValidTo()});
  }
  return dates;
}

std::vector<Text> TExpiryWatch::Check(const std::vector<TCertificateDates>& ACertificates,
                                      std::time_t ANow) {
  std::vector<Text> records;
  std::vector<const TCertificateDates*> near;
  for (const TCertificateDates& certificate : ACertificates) {
    if (ValidityAt(certificate.From, certificate.To, ANow) == TValidity::NotYetValid) continue;
    if (certificate.To - ANow > kExpiryNoticeDays * kDay) continue;
    near.push_back(&certificate);
    if (FTold.emplace(certificate.Serial, certificate.To).second)
      records.push_back(Record(certificate, ANow));
  }
  if (near.empty()) {
    FHintLine.clear();
  } else if (near.size() == 1) {
    FHintLine = HintLineOf(*near.front(), ANow);
  } else {
    FHintLine = Number(static_cast<long>(near.size())) + Text(msg::kHintSeveral);
  }
  return records;
}

Text WithHintLine(const Text& AHint, const Text& ALine) {
  if (ALine.empty()) return AHint;
  const std::size_t end = AHint.find(u'\r');
  return end == Text::npos ? ALine : ALine + AHint.substr(end);
}
