#pragma once

// The log journal: one text file beside the executable to which each call appends a record of
// six lines (product and level, local date and time, host name and IPv4 address, a blank line,
// the message, the end marker). Every append reads the whole file and rewrites it in the
// encoding it had. Callable from any thread and any number of processes: appends are
// serialised within the process by the log lock and across processes by an advisory lock on
// the companion file "<journal>.lock" (waited for 2 s at most), and each rewrite replaces the file
// atomically, so a failed append leaves the journal as it was. Past 1 MiB the journal moves to
// "<journal>.1" (one generation kept) before the next record. Failures throw Exception ("Cannot
// open file ..." / "Cannot create file ...") or sys::TSocketError (host lookup); no record is added
// then.

#include <filesystem>
#include <functional>

#include "platform/diagnostics.h"
#include "platform/text.h"

enum class TLogLevel { llInfo, llError };

// Where a component sends its journal records; TLogger::log by default, a fake in tests.
using TLogFunction = std::function<void(TLogLevel, const Text&)>;

class TLogger {
 public:
  // Appends one record to the journal of the running executable.
  static void log(TLogLevel ALogLevel, const Text& AMessage);

  // Appends one record to ALogFile, naming the product of AExeFile's version texts. The
  // overload above is this one on the running executable and its journal.
  static void log(const std::filesystem::path& ALogFile, const std::filesystem::path& AExeFile,
                  TLogLevel ALogLevel, const Text& AMessage);

  // Where records go for a program whose journal may be named on its command line: ALogFile
  // naming the running executable's product, or the running executable's journal when empty.
  // Never throws: a record that cannot be written goes to standard error, and the failure is
  // said there once (and once more when the journal works again).
  static TLogFunction JournalAt(const std::filesystem::path& ALogFile);

  // The journal of an executable: its path with the first ".exe" replaced by ".log", or with
  // ".log" appended when it holds none, so it is never the executable itself.
  static std::filesystem::path LogFileName(const std::filesystem::path& AExeFile);

  // The ten-character level text of the record header.
  static Text LevelText(TLogLevel ALogLevel);

  // A diagnostics hook (platform/diagnostics.h) that appends each report to the journal as an
  // error record "[<source>] <message>"; the program sets it once at start. The overload writes
  // to ALogFile as log does.
  static diagnostics::TReportHook DiagnosticsHook();
  static diagnostics::TReportHook DiagnosticsHook(const std::filesystem::path& ALogFile,
                                                  const std::filesystem::path& AExeFile);
};
