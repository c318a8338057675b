#include "transport/tcp/report_limiter.h"

bool TReportLimiter::Admit(const std::string& AKey, std::chrono::steady_clock::time_point ANow,
                           std::uint64_t& ASuppressed) {
  std::lock_guard lock(FLock);
  if (const auto found = FEntries.find(AKey);
      found != FEntries.end() && ANow - found->second.Last < FInterval) {
    ++found->second.Suppressed;
    return false;
  }
  if (FEntries.size() >= kMaxEntries && FEntries.find(AKey) == FEntries.end()) FEntries.clear();
  TEntry& entry = FEntries[AKey];
  ASuppressed = entry.Suppressed;
  entry = TEntry{ANow, 0};
  return true;
}

std::u16string TruncatedForReport(std::u16string_view AText, std::size_t AMaxBytes) {
  // A client's bytes reach the text one per UTF-16 unit (they are read as Latin-1 or ASCII),
  // so units count them; a surrogate pair is never split.
  std::size_t units = AMaxBytes;
  if (AText.size() <= units) return std::u16string(AText);
  if (units > 0 && AText[units - 1] >= 0xD800 && AText[units - 1] <= 0xDBFF) --units;
  std::u16string result(AText.substr(0, units));
  result += u"...";
  return result;
}
