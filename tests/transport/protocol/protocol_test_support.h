#pragma once

// A started server for end-to-end tests of the command protocol (the real TCP transport on a
// port the system chooses, a session manager of its own) and a small client that speaks raw
// bytes: over the plain socket, or in blocks through a filtered channel that negotiated the
// compression filter with the server. Plus the parameter-row encoding of texts as a client
// writes and reads it.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/container/sign_service_class.h"
#include "server/service/sm_sign_service.h"
#include "tests/support/echo_service_class.h"
#include "tests/support/loopback_socket_channel.h"
#include "tests/transport/tcp/tcp_test_support.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/protocol/json_server_protocol_handler.h"
#include "transport/server/ds_server.h"
#include "transport/server/session_manager.h"
#include "transport/tcp/server_transport.h"

namespace prototest {

inline std::string Request(std::string_view AMethod, std::string_view AParams) {
  return "{\"method\":\"" + std::string(AMethod) + "\",\"params\":[" + std::string(AParams) + "]}";
}

inline const std::string kConnect = Request("connect", "{}");
inline const std::string kConnectReply = R"({"result":[0,"DataSnap",2]})";

inline std::string Prepare(std::string_view ACommand,
                           std::string_view AType = "DataSnap.ServerMethod", int AHandle = -1) {
  return Request("prepare", std::to_string(AHandle) + ",false,\"" + std::string(AType) + "\",\"" +
                                std::string(ACommand) + "\"");
}

inline std::string Error(std::string_view AName, int ACode, std::string_view AMessage) {
  return "{\"error\":{\"name\":\"" + std::string(AName) + "\",\"code\":" + std::to_string(ACode) +
         ",\"message\":\"Remote error: " + std::string(AMessage) + "\"}";
}

inline std::string DbxError(int ACode, std::string_view AMessage) {
  return Error("TDBXError", ACode, AMessage);
}

// The row encoding of a text: one byte per unit below 255, from the first other unit on 0xFF
// and two bytes per unit.
inline std::string EncodeText(TextView AText) {
  std::string out;
  bool wide = false;
  for (char16_t c : AText) {
    if (!wide && c >= 255) {
      wide = true;
      out += '\xFF';
    }
    if (wide) out += static_cast<char>(c >> 8);
    out += static_cast<char>(c & 0xFF);
  }
  return out;
}

inline Text DecodeText(std::string_view ABytes) {
  Text out;
  std::size_t i = 0;
  for (; i < ABytes.size() && static_cast<std::uint8_t>(ABytes[i]) != 0xFF; ++i)
    out += static_cast<char16_t>(static_cast<std::uint8_t>(ABytes[i]));
  for (++i; i + 1 < ABytes.size(); i += 2)
    out += static_cast<char16_t>(static_cast<std::uint8_t>(ABytes[i]) << 8 |
                                 static_cast<std::uint8_t>(ABytes[i + 1]));
  return out;
}

// A text field of a parameter row, whole (up to 65535 encoded bytes).
inline std::string TextField(TextView AText) {
  const std::string bytes = EncodeText(AText);
  std::string field;
  if (bytes.size() < 32) {
    field.push_back(static_cast<char>(0x20 + bytes.size()));
  } else {
    field.push_back('\x10');
    field.push_back(static_cast<char>(bytes.size() >> 8));
    field.push_back(static_cast<char>(bytes.size() & 0xFF));
  }
  field.append(bytes);
  return field;
}

inline std::string DataItem(std::string_view ARow) {
  return "{\"data\":[" + std::to_string(ARow.size()) + "," + std::string(ARow) + "]}";
}

inline std::string Execute(int AHandle, std::string_view ARow) {
  return Request("execute", "{\"handle\":[" + std::to_string(AHandle) + "]}," + DataItem(ARow));
}

// The parts of an execute reply {"result":[{"rows":[0]},{"data":[N,<row>]}]}: the row bytes,
// or nothing when the reply is not of that shape.
inline std::optional<std::string> ReplyRow(std::string_view AReply) {
  constexpr std::string_view kStart = R"({"result":[{"rows":[0]},{"data":[)";
  if (!AReply.starts_with(kStart)) return std::nullopt;
  AReply.remove_prefix(kStart.size());
  const std::size_t comma = AReply.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto count = static_cast<std::size_t>(std::stoll(std::string(AReply.substr(0, comma))));
  if (AReply.size() != comma + 1 + count + 4 || !AReply.ends_with("]}]}")) return std::nullopt;
  return std::string(AReply.substr(comma + 1, count));
}

struct TServerOptions {
  bool Compression = true;
  Text CompressMoreThan = u"1024";
  bool RealService = false;  // TSMSignService itself instead of the echo stand-in
  TDSAuthenticationManager* AuthenticationManager = nullptr;
  int MaxThreads = 0;  // of the transport's pool; 0: no limit
  int PoolSize = 10;   // idle threads the pool keeps
};

class TProtocolServer {
 public:
  explicit TProtocolServer(TServerOptions AOptions = {}) {
    Server.SetName(u"dsSvr");
    const TDSClassDescription* service =
        AOptions.RealService ? FindRealService() : &echo_service::EchoServiceClass();
    ServiceClass.OnGetClass = [service](TDSServerClass&, const TDSClassDescription*& AClass) {
      AClass = service;
    };
    if (AOptions.RealService) {
      // The service's journal stays in the test instead of a file beside the test program.
      ServiceClass.OnCreateInstance = [this](TDSCreateInstanceEventObject& AEvent) {
        AEvent.ServerClassInstance = MakeInstance<TSMSignService>(
            [this](TLogLevel, const Text& AMessage) { Logged.push_back(AMessage); });
      };
    }
    TablesClass.OnGetClass = [](TDSServerClass&, const TDSClassDescription*& AClass) {
      AClass = &echo_service::TablesClass();
    };
    ServiceClass.SetServer(&Server);
    TablesClass.SetServer(&Server);
    Transport.SetSessionManager(Sessions);
    Transport.SetProtocolHandlerFactory(std::make_unique<TDSJSONProtocolHandlerFactory>(Transport));
    Transport.SetPort(0);
    Transport.SetMaxThreads(AOptions.MaxThreads);
    Transport.SetPoolSize(AOptions.PoolSize);
    Transport.SetAuthenticationManager(AOptions.AuthenticationManager);
    if (AOptions.Compression) {
      Transport.Filters().AddFilter(u"ZLibCompression");
      Transport.Filters().GetItem(0)->SetFilterPropertiesText(u"CompressMoreThan=" +
                                                              AOptions.CompressMoreThan);
    }
    Transport.SetServer(&Server);
    Server.Start();
  }
  ~TProtocolServer() { Server.Stop(); }

  std::uint16_t Port() const { return Transport.BoundPort(); }

  // Waits until no session is left (connections end on their own threads).
  bool WaitForNoSession() {
    const auto deadline = std::chrono::steady_clock::now() + tcptest::kWait;
    while (Sessions.SessionCount() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static const TDSClassDescription* FindRealService() { return &SignServiceClass(); }

  TDSSessionManager Sessions;
  std::vector<Text> Logged;
  TDSServerClass TablesClass;
  TDSServerClass ServiceClass;
  TDSTCPServerTransport Transport;
  TDSServer Server;  // stops first: every connection ends before the components go
};

// One client connection: raw bytes over the socket, or blocks of a filtered channel holding the
// compression filter (one block per server flush).
class TClient {
 public:
  TClient(std::uint16_t APort, bool AFiltered) {
    UniqueFd fd = tcptest::Connect(APort);
    EXPECT_TRUE(fd);
    FFd = fd.get();
    auto socket = std::make_unique<test_support::TLoopbackSocketChannel>(
        test_support::TSocketFd(fd.release()));
    if (!AFiltered) {
      FChannel = std::move(socket);
      return;
    }
    auto filtered = std::make_unique<TDBXFilterSocketChannel>(&ClientFilters());
    filtered->SetChannel(std::move(socket));
    FChannel = std::move(filtered);
  }

  void Send(std::string_view ABytes) {
    FChannel->Write({reinterpret_cast<const std::uint8_t*>(ABytes.data()), ABytes.size()}, 0,
                    static_cast<int>(ABytes.size()));
  }
  // What one channel read gives: one block through the filtered channel.
  std::string Receive() {
    const int count = FChannel->Read(FBuffer, 0, static_cast<int>(FBuffer.size()));
    return count > 0 ? std::string(reinterpret_cast<const char*>(FBuffer.data()),
                                   static_cast<std::size_t>(count))
                     : std::string();
  }
  std::string ReceiveExactly(std::size_t ACount) {
    std::string out;
    while (out.size() < ACount) {
      const int count = FChannel->Read(
          FBuffer, 0, static_cast<int>(std::min(FBuffer.size(), ACount - out.size())));
      if (count <= 0) break;
      out.append(reinterpret_cast<const char*>(FBuffer.data()), static_cast<std::size_t>(count));
    }
    return out;
  }
  std::string Exchange(std::string_view ARequest) {
    Send(ARequest);
    return Receive();
  }
  // A reply that comes in several blocks, joined (AStop tells when it is complete).
  template <class TStop>
  std::string ReceiveUntil(TStop AStop) {
    std::string out;
    while (!AStop(out)) {
      std::string more = Receive();
      if (more.empty()) break;
      out += more;
    }
    return out;
  }
  bool ClosedByServer() const { return tcptest::ClosedByServer(FFd); }
  void Close() { FChannel.reset(); }

  static TTransportFilterCollection& ClientFilters() {
    static TTransportFilterCollection filters;
    static const bool added = [] {
      filters.AddFilter(u"ZLibCompression");
      return true;
    }();
    (void)added;
    return filters;
  }

 private:
  TDbxChannelPtr FChannel;
  int FFd = -1;
  std::vector<std::uint8_t> FBuffer = std::vector<std::uint8_t>(4 * 1024 * 1024);
};

}  // namespace prototest
