#include "server/utils/logger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "platform/sys/atomic_file.h"
#include "platform/sys/date_time_text.h"
#include "platform/sys/executable.h"
#include "platform/sys/unique_fd.h"
#include "server/utils/log_messages.h"
#include "server/utils/machine_utils.h"

namespace {

// The log lock: every read-append-rewrite of a journal in this process runs under it, so two
// appends never overlap and lose a record (the journal lock below does the same across
// processes).
std::mutex gLogLock;

struct TJournal {
  // The journal's mark; without one (a new journal too) it is in the locale's charset.
  text::TByteOrderMark Encoding = text::TByteOrderMark::None;
  std::vector<Text> Lines;
};

[[noreturn]] void ThrowFileError(const char16_t* AWhat, const std::filesystem::path& AFile,
                                 int AErrno) {
  throw Exception(Text(AWhat) + u"\"" + text::FromLocale(AFile.string()) + u"\". " +
                  text::FromLocale(std::system_category().message(AErrno)));
}

[[noreturn]] void ThrowOpenError(const std::filesystem::path& AFile, int AErrno) {
  ThrowFileError(u"Cannot open file ", AFile, AErrno);
}

[[noreturn]] void ThrowCreateError(const std::filesystem::path& AFile, int AErrno) {
  ThrowFileError(u"Cannot create file ", AFile, AErrno);
}

// Lines end at every CR LF pair, lone CR and lone LF; a break at the very end makes no empty
// last line.
std::vector<Text> SplitLines(TextView AText) {
  std::vector<Text> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < AText.size()) {
    const char16_t c = AText[i];
    if (c != u'\r' && c != u'\n') {
      ++i;
      continue;
    }
    lines.emplace_back(AText.substr(start, i - start));
    i += (c == u'\r' && i + 1 < AText.size() && AText[i + 1] == u'\n') ? 2 : 1;
    start = i;
  }
  if (start < AText.size()) lines.emplace_back(AText.substr(start));
  return lines;
}

TJournal Decode(std::string_view ABytes) {
  TJournal journal;
  journal.Encoding = text::ByteOrderMarkOf(ABytes);
  const std::string_view body = ABytes.substr(text::ByteOrderMarkBytes(journal.Encoding).size());
  Text content;
  switch (journal.Encoding) {
    case text::TByteOrderMark::Utf8:
      content = text::FromUtf8(body);
      break;
    case text::TByteOrderMark::Utf16Le:
      content = text::FromUtf16Bytes(body, false);
      break;
    case text::TByteOrderMark::Utf16Be:
      content = text::FromUtf16Bytes(body, true);
      break;
    case text::TByteOrderMark::None:
      content = text::FromLocale(body);
      break;
  }
  journal.Lines = SplitLines(content);
  return journal;
}

std::string Encode(const TJournal& AJournal) {
  Text content;
  for (const Text& line : AJournal.Lines) {
    content += line;
    content += u"\r\n";
  }
  std::string bytes(text::ByteOrderMarkBytes(AJournal.Encoding));
  switch (AJournal.Encoding) {
    case text::TByteOrderMark::Utf8:
      return bytes + text::ToUtf8(content);
    case text::TByteOrderMark::Utf16Le:
      return bytes + text::ToUtf16Bytes(content, false);
    case text::TByteOrderMark::Utf16Be:
      return bytes + text::ToUtf16Bytes(content, true);
    case text::TByteOrderMark::None:
      break;
  }
  return text::ToLocale(content);
}

// The journal as it is on disk; an empty ANSI journal when the file does not exist.
TJournal ReadJournal(const std::filesystem::path& AFile) {
  try {
    const std::optional<std::string> bytes = sys::ReadFileIfExists(AFile);
    return bytes ? Decode(*bytes) : TJournal{};
  } catch (const std::system_error& e) {
    ThrowOpenError(AFile, e.code().value());
  }
}

// The new content replaces the journal whole, so that a failure at any point leaves the old
// journal as it was.
void ReplaceJournal(const std::filesystem::path& AFile, const std::string& ABytes) {
  try {
    sys::WriteFileAtomically(AFile, ABytes);
  } catch (const std::system_error& e) {
    ThrowCreateError(AFile, e.code().value());
  }
}

// "[<source>] <message>"
Text DiagnosticRecord(TextView ASource, TextView AMessage) {
  Text record(u"[");
  record.append(ASource);
  record.append(u"] ");
  record.append(AMessage);
  return record;
}

// Other processes that append to the same journal (a second instance, the command-line tool)
// are excluded by an advisory lock held for the whole read-append-rewrite. It lives on a
// companion file: the rewrite replaces the journal itself by a rename.
class TJournalLock {
 public:
  explicit TJournalLock(const std::filesystem::path& AJournal) {
    std::filesystem::path lockFile = AJournal;
    lockFile += log_messages::kLockSuffix;
    FFile = UniqueFd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!FFile) ThrowOpenError(lockFile, errno);
    // Bounded: a process that holds the lock and hangs must not stop this one (its signals
    // included) from going on; the record then goes where the caller sends failures.
    const auto until = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(FFile.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) ThrowOpenError(lockFile, errno);
      if (std::chrono::steady_clock::now() >= until) ThrowOpenError(lockFile, EWOULDBLOCK);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  static constexpr auto kLockWait = std::chrono::seconds(2);
  // Closing the file releases the lock.

 private:
  UniqueFd FFile;
};

}  // namespace

Text TLogger::LevelText(TLogLevel ALogLevel) {
  return ALogLevel == TLogLevel::llInfo ? log_messages::kInfoLevel : log_messages::kErrorLevel;
}

std::filesystem::path TLogger::LogFileName(const std::filesystem::path& AExeFile) {
  std::string path = AExeFile.string();
  const auto at = path.find(".exe");
  if (at == std::string::npos) return path + ".log";
  return path.replace(at, 4, ".log");
}

diagnostics::TReportHook TLogger::DiagnosticsHook() {
  return [](TextView ASource, TextView AMessage, diagnostics::TReportKind) {
    log(TLogLevel::llError, DiagnosticRecord(ASource, AMessage));
  };
}

diagnostics::TReportHook TLogger::DiagnosticsHook(const std::filesystem::path& ALogFile,
                                                  const std::filesystem::path& AExeFile) {
  return [ALogFile, AExeFile](TextView ASource, TextView AMessage, diagnostics::TReportKind) {
    log(ALogFile, AExeFile, TLogLevel::llError, DiagnosticRecord(ASource, AMessage));
  };
}

void TLogger::log(TLogLevel ALogLevel, const Text& AMessage) {
  const std::filesystem::path exe = sys::ExecutablePath();
  log(LogFileName(exe), exe, ALogLevel, AMessage);
}

namespace {

// A journal that cannot be written (disk full, folder read-only, lock held elsewhere) never stops
// the program: the record goes to standard error, and the failure is said there once, and once
// more when the journal can be written again.
class TJournalFallback {
 public:
  explicit TJournalFallback(std::filesystem::path ALogFile) : FLogFile(std::move(ALogFile)) {}

  void Log(TLogLevel ALogLevel, const Text& AMessage) {
    const std::filesystem::path file =
        FLogFile.empty() ? TLogger::LogFileName(sys::ExecutablePath()) : FLogFile;
    try {
      TLogger::log(file, sys::ExecutablePath(), ALogLevel, AMessage);
      if (FFailing.exchange(false))
        Say(Text{log_messages::kJournalBack} + text::FromLocale(file.string()));
    } catch (const std::exception& e) {
      if (!FFailing.exchange(true)) {
        Say(Text{log_messages::kJournalFailed} + text::FromLocale(file.string()) + u": " +
            MessageOf(e));
      }
      Say(TLogger::LevelText(ALogLevel) + u": " + AMessage);
    }
  }

 private:
  static void Say(const Text& ALine) {
    Text shown = ALine;
    for (char16_t& c : shown)
      if (c == u'\r') c = u'\n';
    while (!shown.empty() && shown.back() == u'\n') shown.pop_back();
    const std::string bytes = text::ToLocale(shown) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
  }

  std::filesystem::path FLogFile;
  std::atomic<bool> FFailing{false};
};

}  // namespace

TLogFunction TLogger::JournalAt(const std::filesystem::path& ALogFile) {
  auto fallback = std::make_shared<TJournalFallback>(ALogFile);
  return
      [fallback](TLogLevel ALogLevel, const Text& AMessage) { fallback->Log(ALogLevel, AMessage); };
}

void TLogger::log(const std::filesystem::path& ALogFile, const std::filesystem::path& AExeFile,
                  TLogLevel ALogLevel, const Text& AMessage) {
  Text machine;
  const Text ip = TMachineUtils::getIP(machine);

  const std::lock_guard lock(gLogLock);
  const TJournalLock otherProcesses(ALogFile);
  TJournal journal = ReadJournal(ALogFile);
  // Every append rewrites the journal: past its bound it moves aside to "<journal>.1" (one
  // generation kept) and a new one starts, in the same encoding.
  std::error_code sizeError;
  if (std::filesystem::file_size(ALogFile, sizeError) > log_messages::kMaxJournalBytes &&
      !sizeError) {
    std::filesystem::path previous = ALogFile;
    previous += ".1";
    std::error_code moveError;
    std::filesystem::rename(ALogFile, previous, moveError);
    if (moveError) ThrowCreateError(previous, moveError.value());
    journal.Lines.clear();
  }
  const Text product =
      TMachineUtils::GetVersionInfoEx(text::FromLocale(AExeFile.string())).ProductName;
  auto& lines = journal.Lines;
  lines.push_back(u"### " + product + u" ### " + LevelText(ALogLevel) + u" ###");
  lines.push_back(log_messages::kExecution +
                  sys::FormatLocalDateTime(std::chrono::system_clock::now()) + u" : ");
  lines.push_back(log_messages::kMachine + machine + log_messages::kIP + ip);
  lines.push_back(u" ");
  lines.push_back(AMessage);
  lines.push_back(log_messages::kEndMarker);
  ReplaceJournal(ALogFile, Encode(journal));
}
