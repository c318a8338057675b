#pragma once

// The tray program's PIN source: a dialog on the desktop asks the operator for a token's PIN,
// as the token's own driver does on other systems. The request comes from a connection thread;
// the dialog runs on the GUI thread, and the thread waits for its answer. A dialog left
// unanswered closes after its answer time (60 s), and the reason says so.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/certstore/pin_source.h"

class TPinDialogSource : public certstore::IPinSource {
 public:
  static constexpr int kAnswerSeconds = 60;

  explicit TPinDialogSource(int AAnswerSeconds = kAnswerSeconds) : FAnswerSeconds(AAnswerSeconds) {}

  std::optional<certstore::TPin> Pin(const certstore::TPinRequest& ARequest,
                                     Text& AWhyNot) override;
  void Rejected(const certstore::TPinRequest&) override {}

  // The program is ending: pending and later requests are cancelled, nothing waits for a
  // dialog the event loop will not show.
  void Close();

 private:
  const int FAnswerSeconds;
  std::mutex FLock;
  std::condition_variable FAnswered;
  bool FClosed = false;  // guarded by FLock
};
