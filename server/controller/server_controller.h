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

#include "platform/text.h"
#include "server/classes/config_server.h"
#include "server/utils/logger.h"
#include "transport/server/ds_server.h"
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
  TServerController(const TServerController&) = delete;
  TServerController& operator=(const TServerController&) = delete;

  // Reloads the configuration and records the port. A failed reload is recorded as an error and
  // the last loaded port stays; only a failure to write the record leaves.
  IConfigServerPtr getConfigServer();
  // Stops a running server (ending its connections), reloads the configuration and starts the
  // server on the port read, unchecked. The server's failure propagates; it then stays stopped.
  void StartServer();
  // Synchronous: every connection has ended when it returns.
  void StopServer();
  TStatusDSServer StatusServer() const;
  // <copyright> CR <product> " (" <version> ") " CR "Monitoramento: " <status word>, from the
  // running executable's version texts, read afresh.
  Text GetHintApplication() const;
  // "Valor inválido para a Porta do Servidor." for 0 and below, before anything changes; then
  // saves the port and restarts the server on it. No upper bound: the transport listens on the
  // low 16 bits.
  void UpdatePortServer(std::int32_t APort);
  void LogInfo(const Text& AMessage);
  void LogError(const Text& AMessage);

 private:
  IConfigServerPtr FConfigServer;
  TDSServer& FDSServer;
  TDSTCPServerTransport& FTCPTransport;
  TLogFunction FLog;
};
