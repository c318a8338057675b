#pragma once

// Holds back repeated diagnostics of the same client address: at most one line a minute for
// each address, the lines held back in between counted into the next one, so a misbehaving
// client cannot flood the daemon's standard error. Any thread (one lock).

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class TReportLimiter {
 public:
  explicit TReportLimiter(std::chrono::steady_clock::duration AInterval = std::chrono::minutes(1))
      : FInterval(AInterval) {}

  // True when a line about AKey may go out now; ASuppressed is then set to how many were held
  // back since its last line.
  bool Admit(const std::string& AKey, std::chrono::steady_clock::time_point ANow,
             std::uint64_t& ASuppressed);

 private:
  struct TEntry {
    std::chrono::steady_clock::time_point Last;
    std::uint64_t Suppressed = 0;
  };
  // A sweep of many addresses is remembered only so far.
  static constexpr std::size_t kMaxEntries = 4096;

  std::chrono::steady_clock::duration FInterval;
  std::mutex FLock;
  std::map<std::string, TEntry> FEntries;  // guarded by FLock
};

// At most AMaxBytes of UTF-16 text, the cut marked with "..." so a reader knows a client's
// bytes went on: what a client sent reaches the journal only so far.
std::u16string TruncatedForReport(std::u16string_view AText, std::size_t AMaxBytes = 200);
