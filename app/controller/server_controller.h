#pragma once

// The one object through which the program configures, starts, stops and inspects the
// remote-method server of the container. It owns the configuration, writes the journal records
// of reloads, and drives the server and its TCP transport, which it borrows from the container.
// It knows nothing of the signing service.
//
// Used by the thread that controls the server (the GUI thread, the daemon's main thread); no
// lock. Failures are exceptions with a message (Exception, or the server's own).

#include <array>
#include <filesystem>
#include <memory>

#include "platform/text.h"
#include "server/classes/config_server.h"
#include "server/utils/logger.h"
#include "transport/server/ds_server.h"
#include "transport/server/password_authentication.h"
#include "transport/tcp/server_transport.h"

enum class TStatusDSServer { sdsStarted, sdsStoped };

// The status word of the tray hint, indexed by TStatusDSServer.
inline constexpr std::array<TextView, 2> kStatusDSServerText = {u"INICIADO", u"PARADO"};

inline TextView StatusText(TStatusDSServer AStatus) {
  return kStatusDSServerText[static_cast<std::size_t>(AStatus)];
}

class TServerController {
 public:
  // Loads the configuration (AConfigFile, or the INI file beside the executable when empty)
  // without a journal record; its failure (a missing file) leaves the constructor. ALog
  // receives the journal records (the executable's journal when empty).
  TServerController(TDSServer& ADSServer, TDSTCPServerTransport& ATCPTransport,
                    const std::filesystem::path& AConfigFile = {}, TLogFunction ALog = {});
  // A server that checks passwords with this controller's manager is stopped first.
  ~TServerController();
  TServerController(const TServerController&) = delete;
  TServerController& operator=(const TServerController&) = delete;

  // Reloads the configuration and records the port. A failed reload is recorded as an error and
  // the last loaded port stays; only a failure to write the record leaves.
  IConfigServerPtr getConfigServer();
  // Reloads the configuration and (re)starts the server on the port read, with the client
  // networks (CLIENTES), the password clients must give (USUARIO and SENHA_HASH; none when both
  // are absent) and the local address (ENDERECO) it names. A running server on
  // another port keeps serving until the new port is bound; one on the same port is stopped
  // (ending its connections) and started again. Failures, in words for the operator:
  // - a port outside 1..65535 (absent, empty, not a number): the configuration's message;
  // - a bad CLIENTES, SENHA_HASH or ENDERECO, or only one of USUARIO and SENHA_HASH: the key's
  //   name and what is wrong with it;
  // - an ENDERECO this computer does not have: that address;
  // - no right to bind the port: the port and the two ways to give that right;
  // - a port held by another signing server of this user: its name and process;
  // - any other bind failure: the transport's text.
  // When the running server was left serving, the message ends with CR "O servidor continua
  // atendendo na porta <port>."; otherwise the server is stopped.
  void StartServer();
  // Synchronous: every connection has ended when it returns.
  void StopServer();
  TStatusDSServer StatusServer() const;
  // <copyright> CR <product> " (" <version> ") " CR "Monitoramento: " <status word>, from the
  // running executable's version texts, read afresh.
  Text GetHintApplication() const;
  // "Valor inválido para a Porta do Servidor." outside 1..65535, before anything changes. Then
  // binds the new port (unless the server already serves on it); a port that cannot be bound
  // leaves the server and the file as they were, with StartServer's words. Then saves the port
  // and restarts the server on it; should the port be taken between the check and the restart,
  // the server and the file go back to the old port.
  void UpdatePortServer(std::int32_t APort);
  // "Valor inválido para a Porta do Servidor." outside 1..65535.
  static void CheckPortUsable(std::int32_t APort);
  // CheckPortUsable, then binds APort once and lets it go: StartServer's words when it could
  // not be bound. For a port about to be written into a new configuration file.
  static void CheckPortBindable(std::int32_t APort);
  void LogInfo(const Text& AMessage);
  void LogError(const Text& AMessage);

 private:
  void StartOn(std::uint16_t APort);

  IConfigServerPtr FConfigServer;
  TDSServer& FDSServer;
  TDSTCPServerTransport& FTCPTransport;
  TLogFunction FLog;
  // The manager FTCPTransport borrows while it checks passwords; replaced at each start.
  std::unique_ptr<TDSAuthenticationManager> FAuthentication;
};
