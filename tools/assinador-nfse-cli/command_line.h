#pragma once

// The command line of assinador-nfse-cli, parsed into what to do. Parsing never touches files.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A command line that makes no sense; main reports it and exits with status 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TCommand {
  Help,
  Version,  // --version
  ListCertificates,
  Sign,
  RemoteListCertificates,  // remoto certificados
  RemoteSign,              // remoto assinar
  Import,                  // importar
  Remove,                  // remover
  Verify,                  // verificar
  PasswordHash,            // senha
};

// The port of the signing server when --servidor names none.
inline constexpr std::uint16_t kDefaultServerPort = 211;
// --conexoes: at most this many connections at once, and how many when not given (never more
// than there are files).
inline constexpr int kMaxConnections = 64;
inline constexpr int kDefaultConnections = 4;
// --tentativas: how many times at most a file is sent when its connection fails before the
// reply arrives (each time on a new connection), and how many when not given.
inline constexpr int kMaxAttempts = 10;
// How long a remote command waits for a reply: longer than the server's longest legitimate wait
// (the tray's PIN dialog, 60 s, after the token's turn).
inline constexpr int kDefaultWaitSeconds = 180;
inline constexpr int kMaxWaitSeconds = 3600;
inline constexpr int kDefaultAttempts = 2;

struct TCommandLine {
  TCommand Command = TCommand::Help;
  bool Raw = false;                       // certificados --bruto
  bool Overwrite = false;                 // assinar: --sobrescrever
  std::vector<std::string> Inputs;        // assinar: files, "-" for standard input;
                                          // importar: the PKCS#12 file
  std::optional<std::string> Serial;      // --serie; remover: its argument
  std::optional<std::string> OutputFile;  // --saida
  std::optional<std::string> OutputDir;   // --pasta-saida
  std::string Host;                       // remoto: --servidor HOST[:PORTA]
  std::uint16_t Port = kDefaultServerPort;
  int Connections = 1;                      // remoto assinar: --conexoes, bounded by Inputs
  int Attempts = kDefaultAttempts;          // remoto assinar: --tentativas
  int WaitSeconds = kDefaultWaitSeconds;    // remoto: --espera
  std::optional<std::string> PasswordFile;  // importar, senha, remoto with --usuario
  std::optional<std::string> User;          // remoto: --usuario
  std::optional<std::string> PinFile;       // assinar: --pin-arquivo
  std::optional<std::string> Anchors;       // verificar: --ac, a file or a folder
  bool Json = false;                        // verificar: --json
  bool Strict = false;                      // verificar: --estrito
};

// Throws TUsageError with a Portuguese message.
TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments);

// assinar and remoto assinar: throws TUsageError when a signed document would replace its own
// input (--saida naming the input, or --pasta-saida its folder, links followed) and
// --sobrescrever was not given. Looks at the files, unlike ParseCommandLine.
void RefuseOverwritingInputs(const TCommandLine& ALine);

// Where the signed document of AInput goes; empty for standard output.
std::filesystem::path OutputOf(const TCommandLine& ALine, const std::string& AInput);

extern const char kHelpText[];
