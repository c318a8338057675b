#pragma once

// The command line the server programs share: the INI file and the journal named explicitly
// ("--config F" or "--config=F", "--log F" or "--log=F"), "--help" or "-h", "--version", and
// whatever flags
// and file options a program adds of its own. Parses into a plain struct and touches no file.

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/text.h"

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TProgramOptions {
  bool Help = false;
  bool Version = false;              // --version
  std::filesystem::path ConfigFile;  // empty: TConfigServerINI's places
  std::filesystem::path LogFile;     // empty: DefaultLogFile
  // The program's own file options that were given, by name ("--captura"), made absolute.
  std::map<std::string, std::filesystem::path, std::less<>> Files;
  // The program's own flags that were given ("--foreground").
  std::set<std::string, std::less<>> Flags;
};

// Throws TUsageError (a Portuguese sentence) for an unknown argument or a file option without a
// name. File names are made absolute, so that messages and records name the file whatever the
// working folder.
TProgramOptions ParseProgramOptions(const std::vector<std::string>& AArguments,
                                    std::span<const std::string_view> AFileOptions = {},
                                    std::span<const std::string_view> AFlags = {});

// The journal of a program started without --log: beside the executable when its INI file
// stands there too (a portable install), otherwise the executable's name with ".log" in
// ${XDG_STATE_HOME:-~/.local/state}/assinador-nfse/, the folder both installed programs share,
// which is made when missing (a folder that cannot be made is told by the journal's first
// record).
std::filesystem::path DefaultLogFile(const std::filesystem::path& AExeFile);

// What the daemon's standard error says of a report of the process's diagnostics
// (platform/diagnostics.h): a Portuguese sentence first, the component's own words after
// "Detalhe:" where they are not Portuguese already.
Text DiagnosticForPeople(TextView ASource, TextView AMessage, diagnostics::TReportKind AKind);

// One message for people on AStream, "<program>: <message>", in the terminal's character set.
// Layers are joined with a lone CR, which a terminal would print over the previous layer: each
// goes on its own line.
void ReportMessage(std::FILE* AStream, std::string_view AProgram, TextView AMessage);
