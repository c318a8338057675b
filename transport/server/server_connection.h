#pragma once

// What the method registry needs of a client connection: the server it belongs to, the
// connection's instances of lifecycle "Session" and the create and destroy paths with this
// connection in their event objects. The connection handler of the command level is one; it
// frees the instance provider at the point of its own destruction that suits it (the destructor
// here frees it at the latest).
//
// Used by the connection's own thread only.

#include <memory>

#include "transport/server/connection_context.h"
#include "transport/server/instance_provider.h"

struct TDSClassInfo;

class TDSServerConnection {
 public:
  // AContext is the connection's context, kept by its transport; without one (a connection
  // served outside a transport) the connection has its own.
  explicit TDSServerConnection(TDSCustomServer* AServer = nullptr,
                               TDSConnectionContext* AContext = nullptr)
      : FServer(AServer),
        FOwnContext(AContext ? nullptr : std::make_unique<TDSConnectionContext>()),
        FContext(AContext ? AContext : FOwnContext.get()) {}
  // Frees the connection's session-lifecycle instances, newest first.
  virtual ~TDSServerConnection();
  TDSServerConnection(const TDSServerConnection&) = delete;
  TDSServerConnection& operator=(const TDSServerConnection&) = delete;

  TDSCustomServer* Server() const { return FServer; }
  void SetServer(TDSCustomServer* AServer) { FServer = AServer; }
  TDSConnectionContext& Context() const { return *FContext; }
  // The session of the request being served; null outside one, or when the transport gives
  // none. A copy: a hook run with it may close the session, which clears the context's.
  TDSSessionPtr Session() const { return FContext->Session(); }

  // The connection's session-lifecycle instances; made on first use.
  TDSHashtableInstanceProvider& InstanceProvider();
  bool HasInstanceProvider() const { return FInstanceProvider != nullptr; }
  // Ends the connection's session-lifecycle instances, newest first.
  void FreeInstanceProvider() noexcept { FInstanceProvider.reset(); }

  TDSInstancePtr CreateInstance(TDSCustomServerClass* AServerClass, const TDSClass& AClass);
  void DestroyInstance(TDSCustomServerClass* AServerClass, const TDSClass& AClass,
                       TDSInstancePtr AInstance) noexcept;
  // The connection's instance of the class (lifecycle "Session"), made on first use; a built-in
  // class's new instance is given this connection and the server.
  void* GetInstance(const TDSClassInfo& AClassInfo);

  // Asks every command of the connection to let go of what it keeps for the client to fetch
  // later (tables being paged, long values being continued); true when every command did. The
  // registry keeps no commands, so a connection that is only this holds nothing and answers
  // true; the command level, which owns the commands, overrides it.
  virtual bool ClearResources() { return true; }

 private:
  TDSCustomServer* FServer;  // not owned
  std::unique_ptr<TDSConnectionContext> FOwnContext;
  TDSConnectionContext* FContext;  // FOwnContext or the transport's
  std::unique_ptr<TDSHashtableInstanceProvider> FInstanceProvider;
};
