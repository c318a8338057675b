#pragma once

// The journal's account of the signatures the service refused to its remote clients: who asked
// (the client's address), with which serial number, and the error text the client got, without
// the document. So that a client that keeps failing cannot flood the journal, each address gets
// at most one record a minute; the failures of the rest of that minute are counted and told by
// the address's next record. Texts in service_messages.h.
//
// One per server, shared by the service instances of every connection; any thread.

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "platform/exception.h"
#include "platform/text.h"
#include "server/utils/logger.h"

class TSignFailureJournal {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  // ALog receives the records (TLogger::log when empty); AClock tells the time (the steady
  // clock when empty).
  explicit TSignFailureJournal(TLogFunction ALog = {}, TClock AClock = {});

  // A refused signature: writes its record, or counts it when AClient had one within the
  // minute. A record that cannot be written is lost; this never throws.
  void Failed(const Text& AClient, const Text& ASerial, const Text& AStatus) noexcept;

  // The record's message for AStatus: the service's text with a quoted document left out.
  static Text WithoutDocument(const Text& AStatus);

 private:
  struct TWindow {
    std::chrono::steady_clock::time_point Start;
    int Unrecorded = 0;  // failures counted since the record that opened the window
  };

  TLogFunction FLog;
  TClock FClock;
  std::mutex FLock;
  std::map<Text, TWindow> FWindows;  // guarded by FLock
};
