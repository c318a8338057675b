#include "platform/diagnostics.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "platform/exception.h"

namespace diagnostics {
namespace {

// The process's one report channel: the hook the program set and the count.
struct TReports {
  std::mutex Lock;
  TReportHook Hook;  // guarded by Lock
  std::atomic<std::uint64_t> Count{0};
};

TReports& Reports() {
  static TReports reports;
  return reports;
}

}  // namespace

TReportHook SetReportHook(TReportHook AHook) {
  TReports& reports = Reports();
  std::lock_guard lock(reports.Lock);
  std::swap(reports.Hook, AHook);
  return AHook;
}

void Report(TextView ASource, TextView AMessage, TReportKind AKind) noexcept {
  TReports& reports = Reports();
  reports.Count.fetch_add(1, std::memory_order_relaxed);
  try {
    TReportHook hook;
    {
      std::lock_guard lock(reports.Lock);
      hook = reports.Hook;
    }
    // Called outside the lock: a hook that reports in turn must not deadlock.
    if (hook) hook(ASource, AMessage, AKind);
  } catch (...) {
    // the report itself failed (memory, the journal); the count keeps it
  }
}

void ReportCurrentException(TextView ASource) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    Text message;
    try {
      message = MessageOf(e);
    } catch (...) {
    }
    Report(ASource, message);
  } catch (...) {
    Report(ASource, u"unknown exception");
  }
}

std::uint64_t ReportCount() noexcept { return Reports().Count.load(std::memory_order_relaxed); }

}  // namespace diagnostics
