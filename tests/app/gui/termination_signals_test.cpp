#include "app/gui/termination_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <vector>

namespace {

// The signals go to this thread only, blocked here for the test and taken by the signalfd; the
// process's other threads keep their mask.
class TermSignalsTest : public testing::Test {
 protected:
  void SetUp() override {
    sigset_t set;
    ::sigemptyset(&set);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, &FSaved);
  }
  void TearDown() override { ::pthread_sigmask(SIG_SETMASK, &FSaved, nullptr); }

  sigset_t FSaved;
};

TEST_F(TermSignalsTest, EachSignalArrivesOnTheEventLoop) {
  TTerminationSignals termination;
  std::vector<int> received, sent;
  QObject::connect(&termination, &TTerminationSignals::Received,
                   [&](int ASignal) { received.push_back(ASignal); });
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(s);
    ASSERT_EQ(::pthread_kill(::pthread_self(), s), 0);
    sent.push_back(s);
    const QDeadlineTimer deadline(10000);
    while (received.size() < sent.size() && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(received, sent);
  }
}

}  // namespace
