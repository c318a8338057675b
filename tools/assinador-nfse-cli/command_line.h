#pragma once

// The command line of assinador-nfse-cli, parsed into what to do. Parsing never touches files.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A command line that makes no sense; main reports it and exits with status 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TCommand { Help, ListCertificates, Sign };

struct TCommandLine {
  TCommand Command = TCommand::Help;
  bool Raw = false;                       // certificados --bruto
  std::vector<std::string> Inputs;        // assinar: files, "-" for standard input
  std::optional<std::string> Serial;      // --serie
  std::optional<std::string> OutputFile;  // --saida
  std::optional<std::string> OutputDir;   // --pasta-saida
};

// Throws TUsageError with a Portuguese message.
TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments);

extern const char kHelpText[];
