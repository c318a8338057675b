// Feeds a client's bytes to a connection's request loop after a valid filter negotiation:
// the whole command chain (reader, input handler, connection and command handling, replies)
// over an in-memory channel, with a started server holding the built-in classes and a stand-in
// of the signing service. Input: [piece][client bytes...]; piece is the size of the chunks the
// bytes arrive in (0: all at once). The loop runs batches as the transport does until the
// bytes run out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tests/support/echo_service_class.h"
#include "tests/support/memory_channel.h"
#include "transport/dbx_error.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/protocol/json_server_protocol_handler.h"
#include "transport/server/ds_server.h"
#include "transport/server/session_manager.h"

namespace {

struct TFuzzServer {
  TFuzzServer() {
    Server.SetName(u"dsSvr");
    ServiceClass.OnGetClass = [](TDSServerClass&, const TDSClassDescription*& AClass) {
      AClass = &echo_service::EchoServiceClass();
    };
    TablesClass.OnGetClass = [](TDSServerClass&, const TDSClassDescription*& AClass) {
      AClass = &echo_service::TablesClass();
    };
    ServiceClass.SetServer(&Server);
    TablesClass.SetServer(&Server);
    Server.Start();
  }
  TDSSessionManager Sessions;
  TDSServerClass ServiceClass;
  TDSServerClass TablesClass;
  TDSServer Server;
};

TFuzzServer& FuzzServer() {
  static TFuzzServer server;
  return server;
}

// A client without filters negotiates with a server without filters and then talks plain.
constexpr std::string_view kNegotiation = "\x05\x05\x05\x05\x05";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 1) return 0;
  TFuzzServer& fuzz = FuzzServer();
  const std::size_t piece = AData[0];
  const std::string_view bytes(reinterpret_cast<const char*>(AData + 1), ASize - 1);

  auto wire = std::make_unique<TMemoryChannel>();
  TMemoryChannel& input = *wire;
  input.PushInput(kNegotiation);
  for (std::size_t at = 0; at < bytes.size(); at += piece ? piece : bytes.size())
    input.PushInput(bytes.substr(at, piece ? piece : bytes.size()));
  auto filtered = std::make_unique<TDBXFilterSocketChannel>();
  filtered->SetChannel(std::move(wire));

  TDSProtocolHandlerSettings settings;
  settings.BufferSize = 1024;  // small, so that requests and replies cross buffer boundaries
  settings.Server = &fuzz.Server;
  settings.SessionManager = &fuzz.Sessions;
  {
    auto handler = CreateJSonProtocolHandler(std::move(filtered), settings);
    for (int batch = 0; batch < 4096 && !input.GetConnectionLost(); ++batch) {
      try {
        handler->SetUp(nullptr);
        handler->HandleNonBlockingProtocol();
      } catch (const TDBXError& e) {
        if (e.ErrorCode() != 30) __builtin_trap();  // what escapes the loop is code 30 only
        break;
      }
    }
  }
  if (fuzz.Sessions.SessionCount() != 0) __builtin_trap();  // the handler closed its session
  return 0;
}
