#include "server/service/sign_failure_journal.h"

#include <string>

#include "platform/diagnostics.h"
#include "server/classes/signer_messages.h"
#include "server/service/service_messages.h"

namespace {

constexpr auto kWindow = std::chrono::minutes(1);
// Addresses whose window is over are forgotten once this many are kept.
constexpr std::size_t kMaxKeptClients = 4096;
// What a record keeps of texts a client chose (its serial number).
constexpr std::size_t kMaxSerial = 64;

Text Bounded(const Text& AText, std::size_t AMax) {
  if (AText.size() <= AMax) return AText;
  return AText.substr(0, AMax) + u"…";
}

}  // namespace

TSignFailureJournal::TSignFailureJournal(TLogFunction ALog, TClock AClock)
    : FLog(ALog ? std::move(ALog) : TLogFunction([](TLogLevel ALevel, const Text& AMessage) {
        TLogger::log(ALevel, AMessage);
      })),
      FClock(AClock ? std::move(AClock) : TClock([] { return std::chrono::steady_clock::now(); })) {
}

Text TSignFailureJournal::WithoutDocument(const Text& AStatus) {
  const std::size_t load = AStatus.find(signer_messages::kLoadFailed);
  if (load == Text::npos) return AStatus;
  const std::size_t start = load + signer_messages::kLoadFailed.size();
  return AStatus.substr(0, start) + Text(service_messages::kDocumentLeftOut) +
         text::FromAscii(std::to_string(AStatus.size() - start)) +
         Text(service_messages::kDocumentLeftOutEnd);
}

void TSignFailureJournal::Failed(const Text& AClient, const Text& ASerial,
                                 const Text& AStatus) noexcept {
  try {
    int unrecorded = 0;
    {
      const auto now = FClock();
      std::lock_guard lock(FLock);
      if (FWindows.size() >= kMaxKeptClients) {
        for (auto it = FWindows.begin(); it != FWindows.end();)
          it = now - it->second.Start >= kWindow ? FWindows.erase(it) : std::next(it);
      }
      auto [window, fresh] = FWindows.try_emplace(AClient, TWindow{now, 0});
      if (!fresh && now - window->second.Start < kWindow) {
        ++window->second.Unrecorded;
        return;
      }
      unrecorded = fresh ? 0 : window->second.Unrecorded;
      window->second = TWindow{now, 0};
    }
    Text message = Text(service_messages::kSignRefused) + AClient +
                   Text(service_messages::kSignRefusedSerial) + Bounded(ASerial, kMaxSerial) +
                   u")." + CR + WithoutDocument(AStatus);
    if (unrecorded > 0)
      message += CR + Text(service_messages::kUnrecordedBefore) +
                 text::FromAscii(std::to_string(unrecorded)) +
                 Text(service_messages::kUnrecordedAfter);
    FLog(TLogLevel::llError, message);
  } catch (...) {
    diagnostics::ReportCurrentException(service_messages::kDiagnosticsSource);
  }
}
