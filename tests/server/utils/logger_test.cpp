#include "server/utils/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <clocale>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "server/utils/log_messages.h"
#include "server/utils/machine_utils.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/scratch_directory.h"

namespace {

const std::string kProductHeader = "### Gerenciador de Assinatura Digital ### ";

// The journal with each record's date and time replaced by "<data>", once they are seen to
// have the shape used where no regional format is chosen ("31/12/2014" or
// "31/12/2014 23:59:59"); what else is there stays.
std::string WithoutDates(std::string ABytes) {
  const std::string before = "Execução em ";
  const std::string after = " : \r\n";
  for (auto at = ABytes.find(before); at != std::string::npos; at = ABytes.find(before, at)) {
    at += before.size();
    const auto end = ABytes.find(after, at);
    if (end == std::string::npos) break;
    const std::string date = ABytes.substr(at, end - at);
    const std::string shape = date.size() == 10 ? "99/99/9999" : "99/99/9999 99:99:99";
    bool ok = date.size() == shape.size();
    for (std::size_t i = 0; ok && i < date.size(); ++i)
      ok = shape[i] == '9' ? std::isdigit(static_cast<unsigned char>(date[i])) != 0
                           : date[i] == shape[i];
    ABytes.replace(at, end - at, ok ? "<data>" : "<data malformada: " + date + ">");
  }
  return ABytes;
}

class LoggerTest : public testing::Test {
 protected:
  void Log(TLogLevel ALevel, const Text& AMessage) {
    TLogger::log(FLog, "/proc/self/exe", ALevel, AMessage);
  }
  std::string Bytes() const { return TScratchDirectory::ReadBytes(FLog); }
  // Entry 3 as this machine writes it.
  static std::string MachineLine() {
    Text machine;
    const Text ip = TMachineUtils::getIP(machine);
    return "Máquina: " + text::ToUtf8(machine) + " - IP: " + text::ToUtf8(ip);
  }
  // Entries 1 to 3 of a record, its date as WithoutDates leaves it.
  static std::string RecordHead(const std::string& ALevel) {
    return kProductHeader + ALevel + " ###\r\nExecução em <data> : \r\n" + MachineLine() + "\r\n";
  }

  TScratchDirectory FDir;
  std::filesystem::path FLog = FDir / "assinador.log";
};

TEST_F(LoggerTest, FirstRecordIsSixLinesEndingInEndMarkerWithItsOwnCR) {
  Log(TLogLevel::llInfo, u"Porta: 211");
  EXPECT_EQ(WithoutDates(Bytes()),
            RecordHead("INFORMAÇÃO") + " \r\nPorta: 211\r\n### FIM ###\r\r\n");
}

TEST_F(LoggerTest, SecondRecordTurnsEarlierBreaksIntoCRLFAndTheMarkerCRIntoAnEmptyLine) {
  struct Case {
    const char* name;
    Text message;
    std::string rewritten;
  };
  const Case kCases[] = {
      {"lone CR", u"[Serviço] Erro\rcausa", "[Serviço] Erro\r\ncausa"},
      {"lone LF", u"linha 1\nlinha 2", "linha 1\r\nlinha 2"},
      {"CR LF", u"a\r\nb", "a\r\nb"},
      {"trailing CR", u"fim\r", "fim\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(FLog);
    Log(TLogLevel::llInfo, c.message);
    Log(TLogLevel::llError, u"segundo");
    EXPECT_EQ(WithoutDates(Bytes()), RecordHead("INFORMAÇÃO") + " \r\n" + c.rewritten +
                                         "\r\n### FIM ###\r\n\r\n" + RecordHead("   ERRO   ") +
                                         " \r\nsegundo\r\n### FIM ###\r\r\n");
  }
}

TEST_F(LoggerTest, HeaderCarriesTheTenCharacterLevelText) {
  struct Case {
    TLogLevel level;
    std::string header;
  };
  const Case kCases[] = {
      {TLogLevel::llInfo, kProductHeader + "INFORMAÇÃO ###\r\n"},
      {TLogLevel::llError, kProductHeader + "   ERRO    ###\r\n"},
  };
  for (const auto& c : kCases) {
    std::filesystem::remove(FLog);
    Log(c.level, u"x");
    EXPECT_TRUE(Bytes().starts_with(c.header)) << Bytes();
  }
  EXPECT_EQ(TLogger::LevelText(TLogLevel::llError), u"   ERRO   ");
  EXPECT_EQ(TLogger::LevelText(TLogLevel::llInfo).size(), 10u);
}

TEST_F(LoggerTest, ExecutableWithoutVersionInformationLeavesTheProductNameEmpty) {
  TLogger::log(FLog, FDir.Path(), TLogLevel::llError, u"x");
  EXPECT_TRUE(Bytes().starts_with("###  ###    ERRO    ###\r\n")) << Bytes();
}

TEST_F(LoggerTest, ExistingJournalKeepsItsByteOrderMark) {
  struct Case {
    const char* name;
    std::string mark;
    std::string (*encode)(const std::string& AAscii);
  };
  auto utf8 = [](const std::string& s) { return s; };
  auto utf16le = [](const std::string& s) {
    std::string out;
    for (char c : s) out += {c, '\0'};
    return out;
  };
  auto utf16be = [](const std::string& s) {
    std::string out;
    for (char c : s) out += {'\0', c};
    return out;
  };
  const Case kCases[] = {
      {"UTF-8", "\xEF\xBB\xBF", utf8},
      {"UTF-16 LE", "\xFF\xFE", utf16le},
      {"UTF-16 BE", "\xFE\xFF", utf16be},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TScratchDirectory::WriteBytes(FLog, c.mark + c.encode("antes\r\n"));
    Log(TLogLevel::llError, u"ação");
    const std::string bytes = Bytes();
    ASSERT_TRUE(bytes.starts_with(c.mark + c.encode("antes\r\n" + kProductHeader.substr(0, 4))));
    Text decoded;
    if (c.mark.size() == 2) {
      const bool big = c.mark[0] == '\xFE';
      for (std::size_t i = c.mark.size(); i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        decoded.push_back(big ? char16_t(a << 8 | b) : char16_t(b << 8 | a));
      }
    } else {
      decoded = text::FromUtf8(bytes.substr(3));
    }
    EXPECT_NE(decoded.find(u"\r\nação\r\n### FIM ###\r\r\n"), Text::npos);
    EXPECT_EQ(decoded.find(u'\uFEFF'), Text::npos);  // one mark, not a second one inside
  }
}

TEST_F(LoggerTest, NewJournalIsWrittenInTheLocaleCharsetWithoutMark) {
  Log(TLogLevel::llInfo, u"ação");
  EXPECT_TRUE(Bytes().starts_with(kProductHeader)) << "UTF-8 locale: no mark";

  std::filesystem::remove(FLog);
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");  // a single-byte charset, read as ISO 8859-1
  Log(TLogLevel::llInfo, u"ação €");
  std::setlocale(LC_ALL, saved.c_str());
  const std::string bytes = Bytes();
  EXPECT_NE(bytes.find("### INFORMA\xC7\xC3O ###\r\n"), std::string::npos);
  EXPECT_NE(bytes.find("\r\na\xE7\xE3o ?\r\n"), std::string::npos) << "what it lacks becomes ?";
}

TEST_F(LoggerTest, ConcurrentCallsLoseNoRecord) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 15;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([this, t] {
        for (int i = 0; i < kPerThread; ++i)
          Log(TLogLevel::llError,
              text::FromAscii("thread " + std::to_string(t) + " record " + std::to_string(i)));
      });
  }
  const std::string bytes = Bytes();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) {
      const std::string line =
          "\r\nthread " + std::to_string(t) + " record " + std::to_string(i) + "\r\n";
      EXPECT_NE(bytes.find(line), std::string::npos) << line;
    }
  std::size_t markers = 0;
  for (auto at = bytes.find("### FIM ###"); at != std::string::npos;
       at = bytes.find("### FIM ###", at + 1))
    ++markers;
  EXPECT_EQ(markers, std::size_t{kThreads * kPerThread});
}

// Several processes append to one journal at once (a second instance, the command-line tool):
// the lock on the companion file keeps every record.
TEST_F(LoggerTest, SeveralProcessesLoseNoRecord) {
  constexpr int kProcesses = 4;
  constexpr int kPerProcess = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        for (int i = 0; i < kPerProcess; ++i)
          Log(TLogLevel::llInfo,
              text::FromAscii("processo " + std::to_string(p) + " registro " + std::to_string(i)));
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string bytes = Bytes();
  for (int p = 0; p < kProcesses; ++p)
    for (int i = 0; i < kPerProcess; ++i) {
      const std::string line =
          "\r\nprocesso " + std::to_string(p) + " registro " + std::to_string(i) + "\r\n";
      EXPECT_NE(bytes.find(line), std::string::npos) << line;
    }
}

TEST_F(LoggerTest, FailedRewriteLeavesTheJournalIntact) {
  Log(TLogLevel::llInfo, u"primeiro");
  Log(TLogLevel::llInfo, u"segundo");
  const std::string before = Bytes();
  try {
    const FileSizeLimit limit(before.size() + 10);
    Log(TLogLevel::llError, u"terceiro");
    ADD_FAILURE() << "the append should have failed";
  } catch (const Exception& e) {
    const std::string expected = "Cannot create file \"" + FLog.string() + "\". ";
    EXPECT_TRUE(std::string(e.what()).starts_with(expected)) << e.what();
  }
  EXPECT_EQ(Bytes(), before);
  // The journal and its lock file, no temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(FDir.Path()), {}), 2);
  EXPECT_TRUE(std::filesystem::exists(FDir / "assinador.log.lock"));
  Log(TLogLevel::llInfo, u"quarto");
  EXPECT_NE(Bytes().find("\r\nquarto\r\n"), std::string::npos);
}

TEST_F(LoggerTest, UnreadableJournalFailsWithoutWriting) {
  std::filesystem::create_directory(FLog);
  try {
    Log(TLogLevel::llError, u"x");
    ADD_FAILURE() << "the append should have failed";
  } catch (const Exception& e) {
    const std::string expected = "Cannot open file \"" + FLog.string() + "\". ";
    EXPECT_TRUE(std::string(e.what()).starts_with(expected)) << e.what();
  }
  EXPECT_TRUE(std::filesystem::is_empty(FLog));
}

TEST_F(LoggerTest, DiagnosticsBecomeErrorRecordsNamingTheirSource) {
  const diagnostics::TReportHook previous =
      diagnostics::SetReportHook(TLogger::DiagnosticsHook(FLog, "/proc/self/exe"));
  diagnostics::Report(u"Certificados", u"Arquivo ignorado: x.pem");
  diagnostics::SetReportHook(previous);
  EXPECT_EQ(WithoutDates(Bytes()),
            RecordHead("   ERRO   ") +
                " \r\n[Certificados] Arquivo ignorado: x.pem\r\n### FIM ###\r\r\n");
}

TEST(LoggerFileName, ReplacesTheFirstExeOrAppendsLog) {
  struct Case {
    const char* exe;
    const char* log;
  };
  const Case kCases[] = {
      {"/opt/assinador/Servidor.exe", "/opt/assinador/Servidor.log"},
      {"/opt/assinador/servidor", "/opt/assinador/servidor.log"},
      {"/opt/a.exe/b.exe", "/opt/a.log/b.exe"},
      {"/opt/SERVIDOR.EXE", "/opt/SERVIDOR.EXE.log"},
      {"/opt/servidor.executavel", "/opt/servidor.logcutavel"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.exe);
    EXPECT_EQ(TLogger::LogFileName(c.exe), c.log);
    EXPECT_NE(TLogger::LogFileName(c.exe), c.exe);
  }
}

}  // namespace

namespace {

TEST_F(LoggerTest, AJournalPastItsBoundMovesAsideAndANewOneStarts) {
  const std::string old = "antigo\r\n";
  std::string big;
  while (big.size() <= log_messages::kMaxJournalBytes) big += old;
  TScratchDirectory::WriteBytes(FLog, big);
  Log(TLogLevel::llInfo, u"novo");
  std::filesystem::path previous = FLog;
  previous += ".1";
  EXPECT_EQ(TScratchDirectory::ReadBytes(previous), big);
  EXPECT_EQ(Bytes().find("antigo"), std::string::npos);
  EXPECT_NE(Bytes().find("\r\nnovo\r\n"), std::string::npos);
  Log(TLogLevel::llInfo, u"depois");
  EXPECT_EQ(TScratchDirectory::ReadBytes(previous), big) << "small journals stay where they are";
}

// What a program's journal does when the file cannot be written: the record goes to standard
// error, the failure is said once, and once more when the journal works again; nothing throws.
TEST_F(LoggerTest, AProgramsJournalThatCannotBeWrittenNeverStopsIt) {
  const TLogFunction journal = TLogger::JournalAt(FLog);
  std::filesystem::create_directory(FLog);  // the journal's name taken by a folder
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(journal(TLogLevel::llError, u"primeiro"));
  EXPECT_NO_THROW(journal(TLogLevel::llInfo, u"segundo"));
  const std::string failing = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failing.find("Não foi possível gravar o log"),
            failing.rfind("Não foi possível gravar o log"))
      << "said once: " << failing;
  EXPECT_NE(failing.find("primeiro"), std::string::npos) << failing;
  EXPECT_NE(failing.find("segundo"), std::string::npos) << failing;

  std::filesystem::remove(FLog);
  testing::internal::CaptureStderr();
  journal(TLogLevel::llInfo, u"terceiro");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("O log voltou a ser gravado"),
            std::string::npos);
  EXPECT_NE(Bytes().find("\r\nterceiro\r\n"), std::string::npos);
}

TEST_F(LoggerTest, ALockHeldElsewhereIsWaitedForBoundedly) {
  std::filesystem::path lockFile = FLog;
  lockFile += ".lock";
  const int held = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  // flock locks are per open file: a second descriptor in this process is excluded as another
  // process would be.
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const TLogFunction journal = TLogger::JournalAt(FLog);
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  journal(TLogLevel::llInfo, u"esperou");
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::string said = testing::internal::GetCapturedStderr();
  ::close(held);
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_NE(said.find("esperou"), std::string::npos) << said;
}

}  // namespace
