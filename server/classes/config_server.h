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
};

// Reference-counted: the configuration goes with its last holder.
using IConfigServerPtr = std::shared_ptr<IConfigServer>;

class TConfigServerINI : public IConfigServer {
 public:
  // The INI file beside the running executable (ConfigFileName).
  TConfigServerINI();
  // An INI file named explicitly (the programs' --config).
  explicit TConfigServerINI(std::filesystem::path AFileName);

  // Missing file: "[Configuração do Servidor] O Arquivo de configuração "<file>" não foi
  // encontrado!", the port unchanged. A present file without the key, with an empty value or
  // with one that does not convert in full gives 0.
  void LoadConfiguration() override;
  // Writes the port in decimal; creates the file, the section or the key when missing. The
  // file is replaced atomically, so a failure leaves it as it was: "Unable to write to <file>".
  void SaveConfiguration() override;
  std::int32_t getPort() const override { return FPort; }
  void setPort(std::int32_t APort) override { FPort = APort; }

  const std::filesystem::path& FileName() const { return FFileName; }

  // The executable's path with the first ".exe" of its file name replaced by ".ini", or with
  // ".ini" appended when the name holds none, so it is never the executable itself.
  static std::filesystem::path ConfigFileName(const std::filesystem::path& AExeFile);

  // A value text as a signed 32-bit number: decimal with an optional sign, hexadecimal after
  // "$" or (when longer than two characters) after "0x" or "0X"; 0 for anything that does not
  // convert in full. Hexadecimal takes up to 32 bits as their two's-complement value.
  static std::int32_t PortOf(std::string_view AValue);

 private:
  std::int32_t FPort = 0;
  std::filesystem::path FFileName;
};

class TConfigServerFactory {
 public:
  // A loaded configuration of kind AType; an empty AFileName means the file beside the running
  // executable. "[Configuração do Servidor] Tipo de configuração não implementada." for an
  // unknown kind; a failed load propagates and the configuration is released.
  static IConfigServerPtr factory(EConfigServer AType, const std::filesystem::path& AFileName = {});
};
