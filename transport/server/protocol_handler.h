#pragma once

// The seam between the TCP transport and the command protocol. For every accepted connection
// the transport asks its factory for a protocol handler over the connection's channel, feeds it
// from the connection's own thread whenever bytes wait, and destroys it at the end of the
// connection; destroying the handler releases the whole pipeline down to the TCP channel.

#include <memory>

#include "transport/channel.h"
#include "transport/server/connection_context.h"
#include "transport/server/session.h"

class TDBXProtocolHandler {
 public:
  virtual ~TDBXProtocolHandler() = default;

  // Serves requests until the conversation ends (blocking; the TCP transport does not use it).
  virtual void HandleProtocol() = 0;
  // Reads and answers every request whose bytes can be read without waiting for a new arrival.
  virtual bool HandleNonBlockingProtocol() = 0;
  // Called before each batch with the transport's authentication manager (may be null); sets
  // the connection's session in its context.
  virtual void SetUp(TDSAuthenticationManager* Data) = 0;

  // Session hand-over of the connect step: a handler that serves sessions says it has none yet,
  // and the transport gives it the session it creates for the connection.
  virtual bool NeedsSession() const { return false; }
  virtual void SetDSSession(TDSSessionPtr /*ASession*/) {}
};

using TDBXProtocolHandlerPtr = std::unique_ptr<TDBXProtocolHandler>;

// Makes the protocol handler of a new connection. Called on the connection's thread; the
// handler takes the channel and may keep AConnection, the connection's context, which outlives
// it. If it throws, the channel is released with the exception.
class TDSProtocolHandlerFactory {
 public:
  virtual ~TDSProtocolHandlerFactory() = default;
  virtual TDBXProtocolHandlerPtr CreateProtocolHandler(TDbxChannelPtr Channel,
                                                       TDSConnectionContext& AConnection) = 0;
};
