// The built assinador-nfse as a process on the offscreen platform: how it starts, answers a
// second start and ends.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <string>

#include "tests/support/free_port.h"
#include "tests/support/scratch_directory.h"
#include "tests/transport/tcp/tcp_test_support.h"

namespace {

constexpr int kWaitMs = 20000;  // never reached when healthy

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(FDir / "run");
    std::filesystem::permissions(FDir / "run", std::filesystem::perms::owner_all);
  }
  // The program with its own runtime folder, so that no other run counts as the first.
  std::unique_ptr<QProcess> Start(const QStringList& AArguments) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString((FDir / "run").string()));
    environment.insert("LC_ALL", "C.UTF-8");
    process->setProcessEnvironment(environment);
    process->start(QStringLiteral(ASSINADOR_GUI_PROGRAM), AArguments);
    EXPECT_TRUE(process->waitForStarted(kWaitMs));
    return process;
  }
  QStringList Files() const {
    return {"--config", QString::fromStdString(FIni.string()), "--log",
            QString::fromStdString(FLog.string())};
  }
  std::size_t Reloads() const {
    const std::string journal = TScratchDirectory::ReadBytes(FLog);
    std::size_t count = 0;
    for (auto at = journal.find("Recarga"); at != std::string::npos;
         at = journal.find("Recarga", at + 1))
      ++count;
    return count;
  }
  static bool Listens(std::uint16_t APort) { return static_cast<bool>(tcptest::Connect(APort)); }
  static bool ListensWithin(std::uint16_t APort, int AMs) {
    const QDeadlineTimer deadline(AMs);
    while (!Listens(APort)) {
      if (deadline.hasExpired()) return false;
      QThread::msleep(20);
    }
    return true;
  }

  TScratchDirectory FDir{"assinador-program"};
  std::filesystem::path FIni = FDir / "assinador-nfse.ini";
  std::filesystem::path FLog = FDir / "assinador-nfse.log";
};

TEST_F(ProgramTest, ServesItsPortShowsItselfToALaterStartAndStopsOnTermination) {
  const std::uint16_t port = FreePort();
  TScratchDirectory::WriteBytes(FIni, "[CONFIGURACAO]\nPORTA=" + std::to_string(port) + "\n");
  const auto running = Start(Files());
  ASSERT_TRUE(ListensWithin(port, kWaitMs)) << running->readAllStandardError().toStdString();
  EXPECT_EQ(Reloads(), 2u);

  const auto later = Start(Files());
  ASSERT_TRUE(later->waitForFinished(kWaitMs));
  EXPECT_EQ(later->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(later->exitCode(), 0) << later->readAllStandardError().toStdString();
  EXPECT_EQ(Reloads(), 2u) << "no second server";
  EXPECT_EQ(running->state(), QProcess::Running);

  ::kill(static_cast<pid_t>(running->processId()), SIGTERM);
  ASSERT_TRUE(running->waitForFinished(kWaitMs));
  EXPECT_EQ(running->exitStatus(), QProcess::NormalExit) << "closed as by the operator";
  EXPECT_EQ(running->exitCode(), 0);
  EXPECT_FALSE(Listens(port));
}

TEST_F(ProgramTest, CommandLine) {
  struct Case {
    const char* name;
    QStringList arguments;
    int status;
    std::string output;  // start of its standard output or standard error
  };
  const Case kCases[] = {
      {"help", {"--help"}, 0, "Uso: assinador-nfse [--config ARQUIVO] [--log ARQUIVO]"},
      {"version", {"--version"}, 0, "assinador-nfse 1."},
      {"unknown option", {"--porta", "1"}, 2, "assinador-nfse: opção desconhecida: --porta"},
      {"option without its file",
       {"--config"},
       2,
       "assinador-nfse: a opção --config exige um nome de arquivo."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto process = Start(c.arguments);
    ASSERT_TRUE(process->waitForFinished(kWaitMs));
    EXPECT_EQ(process->exitCode(), c.status);
    const std::string output =
        (process->readAllStandardOutput() + process->readAllStandardError()).toStdString();
    EXPECT_TRUE(output.starts_with(c.output)) << output;
  }
  EXPECT_FALSE(std::filesystem::exists(FLog)) << "nothing started";
}

}  // namespace
