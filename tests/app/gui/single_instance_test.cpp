#include "app/gui/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostInfo>
#include <QLocalSocket>
#include <QProcess>
#include <atomic>
#include <thread>

#include "tests/support/scratch_directory.h"

namespace {

class SingleInstanceTest : public testing::Test {
 protected:
  // Runs the event loop until ADone or a bound that is never reached when healthy.
  template <class TDone>
  static void RunUntil(TDone ADone, int AMs = 10000) {
    const QDeadlineTimer deadline(AMs);
    while (!ADone() && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  TScratchDirectory FDir{"assinador-instance"};
  QString FFolder = QString::fromStdString(FDir.Path().string());
};

TEST_F(SingleInstanceTest, ALaterStartAsksTheRunningOneToShowItsWindow) {
  TSingleInstance running(FFolder);
  ASSERT_TRUE(running.Acquire());
  int shown = 0;
  QObject::connect(&running, &TSingleInstance::ShowRequested, [&] { ++shown; });

  TSingleInstance later(FFolder);
  EXPECT_FALSE(later.Acquire());
  // The asking side blocks until the running side, on this thread's event loop, answers.
  std::atomic<int> answered = -1;
  std::thread asker([&] { answered = later.AskRunningToShow() ? 1 : 0; });
  RunUntil([&] { return shown > 0 && answered >= 0; });
  asker.join();
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(answered, 1);
}

TEST_F(SingleInstanceTest, AnythingElseOnTheSocketIsIgnored) {
  TSingleInstance running(FFolder);
  ASSERT_TRUE(running.Acquire());
  int shown = 0;
  QObject::connect(&running, &TSingleInstance::ShowRequested, [&] { ++shown; });
  for (const QByteArray& sent : {QByteArray("mostrar\n"), QByteArray(200, 'x')}) {
    SCOPED_TRACE(sent.left(10).toStdString());
    QLocalSocket peer;
    peer.connectToServer(FFolder + QStringLiteral("/assinador-nfse.socket"));
    ASSERT_TRUE(peer.waitForConnected(5000));
    peer.write(sent);
    peer.flush();
    RunUntil([&] { return peer.state() == QLocalSocket::UnconnectedState; });
    EXPECT_EQ(peer.state(), QLocalSocket::UnconnectedState) << "the running side hung up";
  }
  EXPECT_EQ(shown, 0);
}

TEST_F(SingleInstanceTest, TheLockGoesWithTheRunningOneOrWithAProcessThatDied) {
  {
    TSingleInstance running(FFolder);
    ASSERT_TRUE(running.Acquire());
  }
  TSingleInstance next(FFolder);
  EXPECT_TRUE(next.Acquire()) << "released at the end";

  // A lock file left by a program that died (its process is gone) is taken over.
  TScratchDirectory other{"assinador-instance"};
  const QString folder = QString::fromStdString(other.Path().string());
  QProcess gone;
  gone.start(QStringLiteral("true"), {});
  ASSERT_TRUE(gone.waitForStarted(5000));
  const qint64 pid = gone.processId();
  ASSERT_TRUE(gone.waitForFinished(5000));
  QFile lock(folder + QStringLiteral("/assinador-nfse.lock"));
  ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
  lock.write(QByteArray::number(pid) + "\nassinador-nfse\n" + QHostInfo::localHostName().toUtf8() +
             "\n");
  lock.close();
  TSingleInstance afterCrash(folder);
  EXPECT_TRUE(afterCrash.Acquire());
}

}  // namespace
