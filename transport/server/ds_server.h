#pragma once

// The remote-method server and the components attached to it. A component (a transport, a
// server class) attaches itself by having its server set and is listed once. Starting the
// server starts every attached component and then opens the method registry, which registers
// the built-in classes and every attached server class; stopping stops the components (every
// connection ends) and frees the registry with the instances of lifecycle "Server".
//
// Configuration (attaching, names, hooks) and Start/Stop happen on the thread that controls the
// server; connection threads only read the server and its registry while it is started.
// Components must outlive the connections of the server they are attached to: the owner stops
// the server before it destroys them.

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "platform/text.h"
#include "transport/server/server_class_description.h"
#include "transport/server/session.h"

class TDSCustomServer;
class TDSCustomServerClass;
class TDSServerMethodProvider;
class TDSServerConnection;

// Base of everything attached to a server.
class TDSServerComponent {
 public:
  TDSServerComponent() = default;
  // Leaves its server.
  virtual ~TDSServerComponent();
  TDSServerComponent(const TDSServerComponent&) = delete;
  TDSServerComponent& operator=(const TDSServerComponent&) = delete;

  TDSCustomServer* Server() const { return FServer; }
  // Leaves the previous server, joins the new one (null: none).
  void SetServer(TDSCustomServer* AServer);

  virtual void Start() {}
  virtual void Stop() {}

 private:
  friend class TDSCustomServer;
  TDSCustomServer* FServer = nullptr;
};

class TDSCustomServer {
 public:
  TDSCustomServer();
  // Stops the server and detaches the components still attached.
  virtual ~TDSCustomServer();
  TDSCustomServer(const TDSCustomServer&) = delete;
  TDSCustomServer& operator=(const TDSCustomServer&) = delete;

  // The component name ("dsSvr" in the container).
  const Text& Name() const { return FName; }
  void SetName(Text AName) { FName = std::move(AName); }

  // Starts the attached components in attachment order, then opens the registry. On failure
  // the components are stopped, the registry is freed and the error propagates. Nothing when
  // already started.
  virtual void Start();
  // Stops the components, then frees the registry. Nothing when stopped.
  virtual void Stop();
  bool Started() const { return FStarted.load(); }

  // Attached components in attachment order.
  const std::vector<TDSServerComponent*>& Components() const { return FComponents; }

  // The registry; null while stopped. Connection threads call it: the transports accept
  // connections before Start has made the registry, and those see null until it is open.
  TDSServerMethodProvider* ServerMethodProvider() const {
    return FPublishedProvider.load(std::memory_order_acquire);
  }

 private:
  friend class TDSServerComponent;
  void Attach(TDSServerComponent& AComponent);
  void Detach(TDSServerComponent& AComponent);
  void StopComponents() noexcept;

  Text FName;
  std::vector<TDSServerComponent*> FComponents;  // not owned
  std::unique_ptr<TDSServerMethodProvider> FServerMethodProvider;
  // FServerMethodProvider once it is open, for the connection threads; null otherwise.
  std::atomic<TDSServerMethodProvider*> FPublishedProvider{nullptr};
  std::atomic<bool> FStarted{false};
};

struct TDSConnectEventObject {
  TDSServerConnection* Connection = nullptr;
  const TDSConnectProperties* ConnectProperties = nullptr;
};

struct TDSErrorEventObject {
  TDSServerConnection* Connection = nullptr;
  std::exception_ptr Error;
};

// What the create-instance hook is told; a handler may supply the instance.
struct TDSCreateInstanceEventObject {
  TDSCustomServer* Server = nullptr;
  TDSServerConnection* Connection = nullptr;
  TDSCustomServerClass* ServerClass = nullptr;
  const TDSClassDescription* Class = nullptr;  // the class to make (the adaptee when adapted)
  TDSInstancePtr ServerClassInstance;          // cleared before the handler runs
};

// What the destroy-instance hook is told. A handler may take the instance; what it leaves is
// freed after it.
struct TDSDestroyInstanceEventObject {
  TDSCustomServer* Server = nullptr;
  TDSServerConnection* Connection = nullptr;
  TDSCustomServerClass* ServerClass = nullptr;
  const TDSClassDescription* Class = nullptr;
  TDSInstancePtr ServerClassInstance;  // the adaptee when adapted
};

// What the prepare hooks are told about a method being prepared on a connection with a
// session.
struct TDSPrepareEventObject {
  TDSCustomServer* Server = nullptr;
  TDSServerConnection* Connection = nullptr;
  TDSCustomServerClass* ServerClass = nullptr;
  Text MethodAlias;
  const TDSMethod* Method = nullptr;
  Text UserName;
  std::vector<Text> UserRoles;
  std::vector<Text> AuthorizedRoles;
  std::vector<Text> DeniedRoles;
};

using TDSConnectEvent = std::function<void(TDSConnectEventObject&)>;
using TDSErrorEvent = std::function<void(TDSErrorEventObject&)>;
using TDSCreateInstanceEvent = std::function<void(TDSCreateInstanceEventObject&)>;
using TDSDestroyInstanceEvent = std::function<void(TDSDestroyInstanceEventObject&)>;
using TDSPrepareEvent = std::function<void(TDSPrepareEventObject&)>;

class TDSServer : public TDSCustomServer {
 public:
  // None is set in this program; the connection level calls them.
  TDSConnectEvent OnConnect;
  TDSConnectEvent OnDisconnect;
  TDSErrorEvent OnError;
  TDSPrepareEvent OnPrepare;
};

inline constexpr std::u16string_view kDefaultLifeCycle = u"Session";

// A server component that offers one class to remote callers.
class TDSCustomServerClass : public TDSServerComponent {
 public:
  // The reflection of the class; raises when there is none.
  virtual TDSClass GetDSClass() = 0;
  // Hooks of the instance paths and of preparation; they do nothing here.
  virtual void CreateInstance(TDSCreateInstanceEventObject& /*AEvent*/) {}
  virtual void DestroyInstance(TDSDestroyInstanceEventObject& /*AEvent*/) {}
  virtual void Prepare(TDSPrepareEventObject& /*AEvent*/) {}

  // "Server", "Session" (default) or "Invocation", compared exactly.
  const Text& LifeCycle() const { return FLifeCycle; }
  void SetLifeCycle(Text AValue) { FLifeCycle = std::move(AValue); }
  // Only a lifecycle other than "Session" (any case) is written to a stored form.
  bool LifeCycleStored() const;
  const Text& RoleName() const { return FRoleName; }
  void SetRoleName(Text AValue) { FRoleName = std::move(AValue); }

 private:
  Text FLifeCycle{kDefaultLifeCycle};
  Text FRoleName;
};

// Gives the class's description through OnGetClass. A class that descends from the provider
// data module is offered through the adapter.
class TDSServerClass : public TDSCustomServerClass {
 public:
  using TDSGetClassEvent = std::function<void(TDSServerClass& DSServerClass,
                                              const TDSClassDescription*& PersistentClass)>;

  TDSGetClassEvent OnGetClass;
  TDSCreateInstanceEvent OnCreateInstance;
  TDSDestroyInstanceEvent OnDestroyInstance;
  TDSPrepareEvent OnPrepare;

  // TDBXError 29 when OnGetClass is not set or gives no class.
  TDSClass GetDSClass() override;
  void CreateInstance(TDSCreateInstanceEventObject& AEvent) override;
  void DestroyInstance(TDSDestroyInstanceEventObject& AEvent) override;
  void Prepare(TDSPrepareEventObject& AEvent) override;
};
