#pragma once

// What a server transport drives for each connection: the head of the connection's command
// chain (TDBXJSonServerProtocolHandler) and the factory that builds the chain over the
// connection's channel (TDSJSONProtocolHandlerFactory).
//
// The protocol handler is used by its connection's thread; only its session may be dropped
// from another thread (the session manager tells it when someone closes the session), so the
// session is kept under a lock. Destroying the handler releases the whole chain down to the
// channel and closes the connection's session, so no session outlives its connection.

#include <memory>
#include <mutex>

#include "transport/protocol/json_server_input_handler.h"
#include "transport/server/protocol_handler.h"
#include "transport/server/session_manager.h"

class TDSServerTransport;

class TDBXJSonServerProtocolHandler : public TDBXProtocolHandler {
 public:
  TDBXJSonServerProtocolHandler(std::unique_ptr<TDBXJSonServerInputConnectionHandler> AInput,
                                TDSSessionManager& ASessionManager);
  ~TDBXJSonServerProtocolHandler() override;

  // Serves requests until request handling ends (blocking).
  void HandleProtocol() override;
  // Reads and answers requests while the reader or the filtered channel still holds bytes of
  // them; at least one request per call. A failure outside a request while requests are
  // handled leaves as TDBXError 30 (the transport ends the connection); once handling has
  // ended it is dropped and the result is false.
  bool HandleNonBlockingProtocol() override;
  // Sets the connection's session in its context, creating one when the handler has none, and
  // registers the handler's session listener once. Requests are then served with the context
  // bound to the serving thread.
  void SetUp(TDSAuthenticationManager* Data) override;
  bool NeedsSession() const override;
  void SetDSSession(TDSSessionPtr ASession) override;

  TDSSessionPtr Session() const;
  bool HandleRequests() const { return FHandleRequests; }
  TDBXJSonServerInputConnectionHandler& InputHandler() const { return *FInput; }

 private:
  struct TSessionState {
    std::mutex Lock;
    TDSSessionPtr Session;  // guarded by Lock
  };

  bool BytesWaiting() const;
  void RegisterListener();

  std::unique_ptr<TDBXJSonServerInputConnectionHandler> FInput;
  TDSSessionManager& FSessionManager;
  std::shared_ptr<TSessionState> FState;
  TDSSessionListener FListener;  // made by the first SetUp or session hand-over
  bool FHandleRequests = true;
};

// What a connection's chain is built with.
struct TDSProtocolHandlerSettings {
  int BufferSize = 32 * 1024;  // of the reader and the writer
  TDSCustomServer* Server = nullptr;
  TDSServerTransport* Transport = nullptr;  // its connection table; may be null
  TDSSessionManager* SessionManager = nullptr;
  // The connection's context, kept by the transport (null: the chain has its own).
  TDSConnectionContext* Connection = nullptr;
};

// Builds a connection's chain over AChannel: reader and writer, the parameter row (its minimum
// size from the writer), the output handler, the connection handler (added to the transport's
// connection table), the input handler and the protocol handler.
std::unique_ptr<TDBXJSonServerProtocolHandler> CreateJSonProtocolHandler(
    TDbxChannelPtr AChannel, const TDSProtocolHandlerSettings& ASettings);

class TDSJSONProtocolHandlerFactory : public TDSProtocolHandlerFactory {
 public:
  explicit TDSJSONProtocolHandlerFactory(TDSServerTransport& ATransport) : FTransport(ATransport) {}
  TDBXProtocolHandlerPtr CreateProtocolHandler(TDbxChannelPtr Channel,
                                               TDSConnectionContext& AConnection) override;

 private:
  TDSServerTransport& FTransport;
};
