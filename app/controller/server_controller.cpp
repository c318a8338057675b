#include "app/controller/server_controller.h"

#include <cerrno>
#include <optional>
#include <string>

#include "app/controller/controller_messages.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "platform/password_hash.h"
#include "platform/sys/executable.h"
#include "platform/sys/port_holder.h"
#include "server/classes/config_messages.h"
#include "server/utils/machine_utils.h"
#include "transport/stream/memory_budget.h"

namespace {

// The networks the configuration admits; the local ones when it names none.
TClientNetworks ClientNetworksOf(const IConfigServer& AConfig) {
  const std::optional<std::string> written = AConfig.getClientNetworks();
  const bool named = written && written->find_first_not_of(" \t") != std::string::npos;
  try {
    return TClientNetworks::Parse(named ? std::string_view{*written} : kDefaultClientNetworks);
  } catch (const std::exception& e) {
    throw Exception(Text{config_messages::kBadClients} + MessageOf(e));
  }
}

// The password clients must give, when the configuration names a user and a hash; none when it
// names neither.
std::unique_ptr<TDSAuthenticationManager> AuthenticationOf(const IConfigServer& AConfig) {
  const auto given = [](const std::optional<std::string>& AValue) {
    return AValue && AValue->find_first_not_of(" \t") != std::string::npos;
  };
  const std::optional<std::string> user = AConfig.getUser();
  const std::optional<std::string> hash = AConfig.getPasswordHash();
  if (!given(user) && !given(hash)) return nullptr;
  if (given(user) != given(hash)) {
    const auto present =
        given(user) ? config_messages::kUserKey : config_messages::kPasswordHashKey;
    const auto missing =
        given(user) ? config_messages::kPasswordHashKey : config_messages::kUserKey;
    throw Exception(Text(config_messages::kLonelyBefore) + text::FromAscii(present) +
                    Text(config_messages::kLonelyMiddle) + text::FromAscii(missing) +
                    Text(config_messages::kLonelyAfter));
  }
  try {
    return std::make_unique<TPasswordAuthenticationManager>(
        text::FromUtf8(*user), password_hash::TPasswordHash::Parse(*hash));
  } catch (const std::exception& e) {
    throw Exception(Text(config_messages::kBadPasswordHash) + MessageOf(e));
  }
}

TBindAddress BindAddressOf(const IConfigServer& AConfig) {
  const std::optional<std::string> written = AConfig.getBindAddress();
  try {
    return written ? TBindAddress::Parse(*written) : TBindAddress();
  } catch (const std::exception& e) {
    throw Exception(Text(config_messages::kBadBindAddress) + MessageOf(e));
  }
}

// The memory budget the configuration sets, in bytes; the default (a quarter of the physical
// memory, at most 1 GiB) when it names none.
std::size_t ClientMemoryOf(const IConfigServer& AConfig) {
  const std::optional<std::string> written = AConfig.getClientMemory();
  if (!written || written->find_first_not_of(" \t") == std::string::npos)
    return TMemoryBudget::DefaultLimit();
  const std::size_t first = written->find_first_not_of(" \t");
  const std::size_t last = written->find_last_not_of(" \t");
  const std::string value = written->substr(first, last - first + 1);
  // Below 16 MiB no ordinary document gets through; the ceiling only keeps the product in range.
  constexpr unsigned long long kLowest = 16;
  constexpr unsigned long long kHighest = 1024 * 1024;
  unsigned long long mebibytes = 0;
  const bool digits = value.find_first_not_of("0123456789") == std::string::npos;
  if (digits && value.size() <= 8) mebibytes = std::stoull(value);
  if (!digits || mebibytes < kLowest || mebibytes > kHighest)
    throw Exception(Text{config_messages::kBadClientMemory} + u"\"" + text::FromLatin1(value) +
                    u"\"");
  return static_cast<std::size_t>(mebibytes) * 1024 * 1024;
}

namespace msg = controller_messages;

Text Number(long long AValue) { return text::FromAscii(std::to_string(AValue)); }

// The bind failure in words for the operator: no right to the port, or a port held by another
// signing server of this user; any other reason keeps the transport's text.
Text BindFailureText(const TBindError& AError, const TBindAddress& AAddress = {}) {
  if (AError.Errno() == EADDRNOTAVAIL && !AAddress.Any())
    return Text(msg::kNotLocalBefore) + text::FromAscii(AAddress.ToString()) +
           Text(msg::kNotLocalAfter);
  if (AError.Errno() == EACCES || AError.Errno() == EPERM) {
    Text program = u"PROGRAMA";
    try {
      program = text::FromLocale(sys::ExecutablePath().string());
    } catch (const std::exception&) {
      // the placeholder tells the operator what goes there
    }
    return Text(msg::kNoRightBefore) + Number(AError.Port()) + Text(msg::kNoRightMiddle) + program +
           Text(msg::kNoRightSysctl) + Number(AError.Port()) + Text(msg::kNoRightAfter);
  }
  if (AError.Errno() == EADDRINUSE) {
    if (const auto holder = sys::ListenerOfThisUser(AError.Port(), msg::kServerProcessPrefix)) {
      return Text(msg::kHeldBefore) + Number(AError.Port()) + Text(msg::kHeldByServer) +
             text::FromLocale(holder->Name) + Text(msg::kHeldProcess) + Number(holder->Pid) +
             Text(msg::kHeldAfter);
    }
    // Any other program: who holds it when that can be read, what to do, and the transport's
    // own words after.
    Text text = Text(msg::kHeldBefore) + Number(AError.Port()) + Text(msg::kHeldByOther);
    if (const auto holder = sys::ListenerOf(AError.Port()))
      text += u" (" + text::FromLocale(holder->Name) + Text(msg::kHeldProcess) +
              Number(holder->Pid) + u")";
    return text + Text(msg::kHeldByOtherAfter) + CR + u"Detalhe: " + AError.Message();
  }
  return AError.Message();
}

Text KeptServing(std::uint16_t APort) {
  return Text(1, CR) + Text(msg::kKeptServing) + Number(APort) + u".";
}

}  // namespace

TServerController::TServerController(TDSServer& ADSServer, TDSTCPServerTransport& ATCPTransport,
                                     const std::filesystem::path& AConfigFile, TLogFunction ALog)
    : FConfigServer(TConfigServerFactory::factory(EConfigServer::csINIFile, AConfigFile)),
      FDSServer(ADSServer),
      FTCPTransport(ATCPTransport),
      FLog(ALog ? std::move(ALog) : TLogger::JournalAt({})) {}

TServerController::~TServerController() {
  if (!FAuthentication || FTCPTransport.AuthenticationManager() != FAuthentication.get()) return;
  try {
    StopServer();
  } catch (...) {
    diagnostics::ReportCurrentException(u"Controlador do Serviço");
  }
  FTCPTransport.SetAuthenticationManager(nullptr);
}

IConfigServerPtr TServerController::getConfigServer() {
  try {
    FConfigServer->LoadConfiguration();
    Text record = Text(controller_messages::kReload) + CR + Text(controller_messages::kPort) +
                  text::FromAscii(std::to_string(FConfigServer->getPort()));
    for (const Text& warning : FConfigServer->getWarnings()) record += CR + warning;
    LogInfo(record);
  } catch (const std::exception& e) {
    LogError(Text(controller_messages::kReloadFailed) + CR + MessageOf(e));
  }
  return FConfigServer;
}

void TServerController::StartServer() {
  const bool wasRunning = StatusServer() == TStatusDSServer::sdsStarted;
  const std::uint16_t oldPort = FTCPTransport.BoundPort();
  // Whatever stops the new start before the old server is stopped leaves it serving.
  const Text kept = wasRunning ? KeptServing(oldPort) : Text();
  const IConfigServerPtr config = getConfigServer();
  try {
    config->CheckPort();
  } catch (const std::exception& e) {
    throw Exception(MessageOf(e) + kept);
  }
  TClientNetworks clients;
  std::unique_ptr<TDSAuthenticationManager> authentication;
  TBindAddress address;
  std::size_t clientMemory = 0;
  try {
    clients = ClientNetworksOf(*config);
    authentication = AuthenticationOf(*config);
    address = BindAddressOf(*config);
    clientMemory = ClientMemoryOf(*config);
  } catch (const std::exception& e) {
    throw Exception(MessageOf(e) + kept);
  }
  const auto port = static_cast<std::uint16_t>(config->getPort());
  const TBindAddress oldAddress = FTCPTransport.BindAddress();
  // Another address on the same port cannot be tried while the old listener holds the port.
  if (wasRunning && port != oldPort) {
    try {
      TDSTCPServerTransport::CheckBindable(port, address);
    } catch (const TBindError& e) {
      throw Exception(BindFailureText(e, address) + kept);
    }
  }
  if (wasRunning) StopServer();
  FTCPTransport.SetClientNetworks(std::move(clients));
  // The transport lets go of the old manager before it goes: the server is stopped.
  FTCPTransport.SetAuthenticationManager(authentication.get());
  FAuthentication = std::move(authentication);
  FTCPTransport.SetBindAddress(address);
  TMemoryBudget::Process().SetLimit(clientMemory);
  try {
    StartOn(port);
  } catch (const TBindError& e) {
    // Taken between the check and the start: back to the old port, when there was one.
    if (!wasRunning || (port == oldPort && address == oldAddress))
      throw Exception(BindFailureText(e, address));
    try {
      FTCPTransport.SetBindAddress(oldAddress);
      StartOn(oldPort);
    } catch (const std::exception&) {
      throw Exception(BindFailureText(e, address));
    }
    throw Exception(BindFailureText(e, address) + kept);
  }
}

void TServerController::StartOn(std::uint16_t APort) {
  FTCPTransport.SetPort(APort);
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
  CheckPortUsable(APort);
  const bool wasRunning = StatusServer() == TStatusDSServer::sdsStarted;
  const std::uint16_t oldPort = FTCPTransport.BoundPort();
  const std::int32_t oldValue = FConfigServer->getPort();
  // Bound first: a port that cannot be changes neither the server nor the file.
  if (!wasRunning || APort != oldPort) {
    try {
      TDSTCPServerTransport::CheckBindable(static_cast<std::uint16_t>(APort),
                                           FTCPTransport.BindAddress());
    } catch (const TBindError& e) {
      throw Exception(BindFailureText(e, FTCPTransport.BindAddress()) +
                      (wasRunning ? KeptServing(oldPort) : Text()));
    }
  }
  FConfigServer->setPort(APort);
  FConfigServer->SaveConfiguration();
  try {
    StartServer();
  } catch (const std::exception&) {
    // The old server came back (the new port was taken in between): so does the file.
    if (wasRunning && StatusServer() == TStatusDSServer::sdsStarted) {
      FConfigServer->setPort(oldValue);
      FConfigServer->SaveConfiguration();
    }
    throw;
  }
}

void TServerController::CheckPortUsable(std::int32_t APort) {
  if (APort < kLowestPort || APort > kHighestPort)
    throw Exception(Text(controller_messages::kInvalidPort));
}

void TServerController::CheckPortBindable(std::int32_t APort) {
  CheckPortUsable(APort);
  try {
    TDSTCPServerTransport::CheckBindable(static_cast<std::uint16_t>(APort));
  } catch (const TBindError& e) {
    throw Exception(BindFailureText(e));
  }
}

void TServerController::LogInfo(const Text& AMessage) { FLog(TLogLevel::llInfo, AMessage); }

void TServerController::LogError(const Text& AMessage) { FLog(TLogLevel::llError, AMessage); }
