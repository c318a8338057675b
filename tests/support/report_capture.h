#pragma once

// Collects the process's diagnostics (platform/diagnostics.h) while it lives, then puts back the
// hook it replaced. Reports may come from any thread, also after the capture is gone: they then
// land in state that the hook keeps alive.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/diagnostics.h"

class TReportCapture {
 public:
  struct TReport {
    Text Source;
    Text Message;
    diagnostics::TReportKind Kind = diagnostics::TReportKind::Failure;
  };

  TReportCapture() {
    FPrevious = diagnostics::SetReportHook(
        [state = FState](TextView ASource, TextView AMessage, diagnostics::TReportKind AKind) {
          std::lock_guard lock(state->Lock);
          state->Reports.push_back({Text(ASource), Text(AMessage), AKind});
          state->Changed.notify_all();
        });
  }
  ~TReportCapture() { diagnostics::SetReportHook(std::move(FPrevious)); }
  TReportCapture(const TReportCapture&) = delete;
  TReportCapture& operator=(const TReportCapture&) = delete;

  std::vector<TReport> Reports() const {
    std::lock_guard lock(FState->Lock);
    return FState->Reports;
  }

  // Waits (20 s at most) until a report from ASource whose message contains AText arrives.
  bool WaitFor(TextView ASource, TextView AText) const {
    std::unique_lock lock(FState->Lock);
    return FState->Changed.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const TReport& report : FState->Reports)
        if (report.Source == ASource && report.Message.find(AText) != Text::npos) return true;
      return false;
    });
  }

 private:
  struct TState {
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::vector<TReport> Reports;  // guarded by Lock
  };
  std::shared_ptr<TState> FState = std::make_shared<TState>();
  diagnostics::TReportHook FPrevious;
};
