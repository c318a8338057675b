#pragma once

// What every server transport offers the layers above it: the connection table, the reader and
// writer buffer size, the choice of socket layer, the sessions' manager and the factory of the
// connections' protocol handlers. The protocol layer sees a transport only through this class;
// the TCP transport implements it.

#include <memory>
#include <string_view>

#include "platform/text.h"
#include "transport/filter/transport_filter.h"
#include "transport/server/connection_table.h"
#include "transport/server/ds_server.h"
#include "transport/server/protocol_handler.h"
#include "transport/server/session_manager.h"

class TDSServerConnectionHandler;

namespace transport_messages {
inline constexpr std::string_view kIPImplementationIDActive =
    "IPImplementationID cannot be change while transport is active";
}  // namespace transport_messages

// Attached to a server (SetServer), it is started and stopped with it.
class TDSServerTransport : public TDSServerComponent {
 public:
  TDSServerTransport() : FSessionManager(&TDSSessionManager::Instance()) {}

  void Start() override = 0;
  void Stop() override = 0;
  virtual bool Active() const = 0;

  // Size of the message reader's and writer's buffers in KiB, kept within 1..1000.
  int BufferKBSize() const { return FBufferKBSize; }
  void SetBufferKBSize(int AValue);

  const Text& IPImplementationID() const { return FIPImplementationID; }
  void SetIPImplementationID(Text AValue);

  // Registers a connection handler; the slot number is the connection's handle.
  int AddConnection(TDSServerConnectionHandler* AHandler) {
    return FServerConnections.Add(AHandler);
  }
  void RemoveConnection(const TDSServerConnectionHandler* ACon) { FServerConnections.Remove(ACon); }
  const TDSConnectionTable<TDSServerConnectionHandler>& ServerConnections() const {
    return FServerConnections;
  }

  // The transport filters every connection negotiates; each connection gets its own copies.
  // Configured while the transport is stopped.
  TTransportFilterCollection& Filters() { return FFilterList; }

  // The factory of the connections' protocol handlers; the transport owns it. None until the
  // program that composes the server installs one (a start without it fails); tests of a
  // transport's own mechanics install their own.
  void SetProtocolHandlerFactory(std::unique_ptr<TDSProtocolHandlerFactory> AFactory) {
    FProtocolHandlerFactory = std::move(AFactory);
  }
  // The manager that keeps the connections' sessions (the process-wide one by default).
  TDSSessionManager& SessionManager() const { return *FSessionManager; }
  void SetSessionManager(TDSSessionManager& AManager) { FSessionManager = &AManager; }

 protected:
  TDSProtocolHandlerFactory* ProtocolHandlerFactory() const {
    return FProtocolHandlerFactory.get();
  }

 private:
  TDSConnectionTable<TDSServerConnectionHandler> FServerConnections;
  TTransportFilterCollection FFilterList;
  int FBufferKBSize = 32;
  Text FIPImplementationID;
  std::unique_ptr<TDSProtocolHandlerFactory> FProtocolHandlerFactory;
  TDSSessionManager* FSessionManager;
};
