#pragma once

// The server configuration: the TCP port the remote-method server listens on, kept under the
// key "PORTA" of the section "CONFIGURACAO" of an INI file. The file is read at every load and
// written only by a save; it is never held open in between. Other sections and keys of the file
// are left as they are.
//
// One object belongs to the controller and is used by the thread that controls the server; it
// has no lock. Failures throw Exception with the texts of config_messages.h.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

enum class EConfigServer { csINIFile };

class IConfigServer {
 public:
  virtual ~IConfigServer() = default;

  // Reads the port from the store.
  virtual void LoadConfiguration() = 0;
  // Writes the port to the store.
  virtual void SaveConfiguration() = 0;
  virtual std::int32_t getPort() const = 0;
  // In memory only: no check, no write.
  virtual void setPort(std::int32_t APort) = 0;
  // Raises, naming the store and what it holds, when the port is one the server cannot listen
  // on (outside 1..65535, which takes in an absent or unreadable value).
  virtual void CheckPort() const = 0;
  // The client networks the server admits, as written in the store (see TClientNetworks);
  // nothing when the store names none, and then the server admits the local networks.
  virtual std::optional<std::string> getClientNetworks() const { return std::nullopt; }
  // The user and the password hash clients must connect with, as written; nothing when absent
  // (and then no password is asked).
  virtual std::optional<std::string> getUser() const { return std::nullopt; }
  virtual std::optional<std::string> getPasswordHash() const { return std::nullopt; }
  // The local address to listen on, as written; nothing when absent (every interface).
  virtual std::optional<std::string> getBindAddress() const { return std::nullopt; }
  // The key MEMORIA_CLIENTES of the section, as read; nothing when absent.
  virtual std::optional<std::string> getClientMemory() const { return std::nullopt; }
  // What the last load found suspicious but could read (a key it does not know, a key written
  // twice), one sentence each, naming the line.
  virtual std::vector<Text> getWarnings() const { return {}; }
};

// The ports a server can listen on.
inline constexpr std::int32_t kLowestPort = 1;
inline constexpr std::int32_t kHighestPort = 65535;

// Reference-counted: the configuration goes with its last holder.
using IConfigServerPtr = std::shared_ptr<IConfigServer>;

class TConfigServerINI : public IConfigServer {
 public:
  // The file of a program started without --config: the first of ConfigFilePlaces of the
  // running executable that exists when loaded.
  TConfigServerINI();
  // An INI file named explicitly (the programs' --config).
  explicit TConfigServerINI(std::filesystem::path AFileName);

  // Missing file: "[Configuração do Servidor] O Arquivo de configuração "<file>" não foi
  // encontrado!" (with several places: "... não foi encontrado em "<a>" nem em "<b>"!"), the
  // port unchanged. A present file without the key, with an empty value or with one that does
  // not convert in full gives 0, which CheckPort refuses. A UTF-8 byte-order mark is skipped.
  void LoadConfiguration() override;
  // Writes the port in decimal; creates the file, the section or the key when missing. The
  // file is replaced atomically, so a failure leaves it as it was: "Unable to write to <file>".
  // A program without --config whose file is nowhere makes it in the user's folder (the last
  // place), with that folder; a file named explicitly needs its folder.
  void SaveConfiguration() override;
  std::int32_t getPort() const override { return FPort; }
  void setPort(std::int32_t APort) override {
    FPort = APort;
    FPortText = std::to_string(APort);
  }
  // "[Configuração do Servidor] PORTA ausente ou inválida em "<file>": <found>. ..." where found
  // is "chave ausente", "valor vazio" or the value read, in quotes.
  void CheckPort() const override;
  // The key CLIENTES of the section, as read; nothing when absent.
  std::optional<std::string> getClientNetworks() const override { return FClientsText; }
  // The keys USUARIO, SENHA_HASH and ENDERECO of the section, as read; nothing when absent.
  std::optional<std::string> getUser() const override { return FUserText; }
  std::optional<std::string> getPasswordHash() const override { return FPasswordHashText; }
  std::optional<std::string> getBindAddress() const override { return FBindAddressText; }
  std::optional<std::string> getClientMemory() const override { return FClientMemoryText; }
  std::vector<Text> getWarnings() const override { return FWarnings; }

  // The file read by the last load, or the one a save writes: without --config, the first
  // place that exists, else the last place.
  const std::filesystem::path& FileName() const { return FFileName; }

  // The executable's path with the first ".exe" of its file name replaced by ".ini", or with
  // ".ini" appended when the name holds none, so it is never the executable itself.
  static std::filesystem::path ConfigFileName(const std::filesystem::path& AExeFile);
  // Where a program without --config looks for its file, in order: beside the executable
  // (ConfigFileName, a portable install), then the same name in
  // ${XDG_CONFIG_HOME:-~/.config}/assinador-nfse/ (an installed program).
  static std::vector<std::filesystem::path> ConfigFilePlaces(const std::filesystem::path& AExeFile);

  // A value text as a signed 32-bit number: decimal with an optional sign, hexadecimal after
  // "$" or (when longer than two characters) after "0x" or "0X"; 0 for anything that does not
  // convert in full. Hexadecimal takes up to 32 bits as their two's-complement value.
  static std::int32_t PortOf(std::string_view AValue);

 private:
  // The places looked at (one when the file was named) and the one in use among them.
  void FindFile();

  std::int32_t FPort = 0;
  std::optional<std::string> FPortText;  // as read, without blanks; nullopt: no such key
  std::optional<std::string> FClientsText;
  std::optional<std::string> FUserText;
  std::optional<std::string> FPasswordHashText;
  std::optional<std::string> FBindAddressText;
  std::optional<std::string> FClientMemoryText;
  std::vector<Text> FWarnings;
  Text FPortHint;  // why PORTA may be missing, when the file suggests it
  std::vector<std::filesystem::path> FPlaces;
  std::filesystem::path FFileName;
};

class TConfigServerFactory {
 public:
  // A loaded configuration of kind AType; an empty AFileName means the file beside the running
  // executable. "[Configuração do Servidor] Tipo de configuração não implementada." for an
  // unknown kind; a failed load propagates and the configuration is released.
  static IConfigServerPtr factory(EConfigServer AType, const std::filesystem::path& AFileName = {});
};
