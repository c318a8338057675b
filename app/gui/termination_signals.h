#pragma once

// SIGTERM, SIGINT and SIGHUP as an ordinary Qt signal, so that the end of the session or a
// service manager closes the window the way the operator would: the server stops before the
// program ends. The three signals must be blocked in every thread (Block, first thing in main,
// before any thread exists); the GUI thread then takes them from a signalfd on its event loop,
// never in a handler.
//
// GUI thread only.

#include <QObject>
#include <memory>

#include "platform/sys/unique_fd.h"

class QSocketNotifier;

class TTerminationSignals : public QObject {
  Q_OBJECT

 public:
  // Blocks the signals in the calling thread; threads made afterwards inherit the mask.
  static void Block();

  // Throws Exception when the system gives no signalfd.
  TTerminationSignals();
  ~TTerminationSignals() override;

 signals:
  void Received(int ASignal);

 private:
  void Take();

  UniqueFd FSignals;
  std::unique_ptr<QSocketNotifier> FNotifier;
};
