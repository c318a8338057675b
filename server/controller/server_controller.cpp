#include "server/controller/server_controller.h"

#include <string>

#include "platform/exception.h"
#include "platform/sys/executable.h"
#include "server/controller/controller_messages.h"
#include "server/utils/machine_utils.h"

TServerController::TServerController(TDSServer& ADSServer, TDSTCPServerTransport& ATCPTransport,
                                     const std::filesystem::path& AConfigFile, TLogFunction ALog)
    : FConfigServer(TConfigServerFactory::factory(EConfigServer::csINIFile, AConfigFile)),
      FDSServer(ADSServer),
      FTCPTransport(ATCPTransport),
      FLog(ALog ? std::move(ALog) : TLogger::JournalAt({})) {}

IConfigServerPtr TServerController::getConfigServer() {
  try {
    FConfigServer->LoadConfiguration();
    LogInfo(Text(controller_messages::kReload) + CR + Text(controller_messages::kPort) +
            text::FromAscii(std::to_string(FConfigServer->getPort())));
  } catch (const std::exception& e) {
    LogError(Text(controller_messages::kReloadFailed) + CR + MessageOf(e));
  }
  return FConfigServer;
}

void TServerController::StartServer() {
  if (StatusServer() == TStatusDSServer::sdsStarted) StopServer();
  const IConfigServerPtr config = getConfigServer();
  FTCPTransport.SetPort(config->getPort());
  FDSServer.Start();
}

void TServerController::StopServer() { FDSServer.Stop(); }

TStatusDSServer TServerController::StatusServer() const {
  return FDSServer.Started() ? TStatusDSServer::sdsStarted : TStatusDSServer::sdsStoped;
}

Text TServerController::GetHintApplication() const {
  const TVersionInfoEx version =
      TMachineUtils::GetVersionInfoEx(text::FromLocale(sys::ExecutablePath().string()));
  return version.LegalCopyright + CR + version.ProductName + u" (" + version.FileVersion + u") " +
         CR + Text(controller_messages::kMonitoring) + Text(StatusText(StatusServer()));
}

void TServerController::UpdatePortServer(std::int32_t APort) {
  if (APort <= 0) throw Exception(Text(controller_messages::kInvalidPort));
  FConfigServer->setPort(APort);
  FConfigServer->SaveConfiguration();
  StartServer();
}

void TServerController::LogInfo(const Text& AMessage) { FLog(TLogLevel::llInfo, AMessage); }

void TServerController::LogError(const Text& AMessage) { FLog(TLogLevel::llError, AMessage); }
