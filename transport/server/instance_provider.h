#pragma once

// Instances of server classes and the paths that make and free them.
//
// Create path: the server class's create-instance hook may supply the instance (an adapted class
// gets it wrapped in a new adapter); otherwise the class description makes it (for an adapted
// class, the adaptee is made and handed to a new adapter). Destroy path: the server class's
// destroy-instance hook is told (the adaptee, for an adapter) and may take the instance; what it
// leaves is freed, the adapter last.
//
// TDSHashtableInstanceProvider keeps one instance per class name: the server-wide instances of
// lifecycle "Server" (shared by every connection thread) and the instances of lifecycle
// "Session" of one connection. Lookups and creation run under the provider's monitor, which a
// constructor that asks the same provider again may re-enter. Instances are freed newest first
// when the provider is cleared or destroyed.

#include <mutex>
#include <vector>

#include "transport/server/ds_server.h"
#include "transport/server/server_class_description.h"

// Who makes or frees an instance: the class, its server class component (none for built-in
// classes), and the connection and server the event objects name.
struct TDSInstanceContext {
  const TDSClass* Class = nullptr;
  TDSCustomServerClass* ServerClass = nullptr;
  TDSServerConnection* Connection = nullptr;
  TDSCustomServer* Server = nullptr;
};

// An instance made through the create path: the adapter for an adapted class.
TDSInstancePtr CreateServerInstance(const TDSInstanceContext& AContext);
// Frees AInstance through the destroy path. Never throws: an exception of the hook is dropped
// and the instance is freed all the same.
void DestroyServerInstance(const TDSInstanceContext& AContext, TDSInstancePtr AInstance) noexcept;

// The object a method of AClass is called on, for an instance made by CreateServerInstance.
void* MethodInstanceOf(const TDSClass& AClass, const TDSMethod& AMethod, void* AInstance);

class TDSHashtableInstanceProvider {
 public:
  TDSHashtableInstanceProvider() = default;
  ~TDSHashtableInstanceProvider() { Clear(); }
  TDSHashtableInstanceProvider(const TDSHashtableInstanceProvider&) = delete;
  TDSHashtableInstanceProvider& operator=(const TDSHashtableInstanceProvider&) = delete;

  // The instance kept under AClassName; made through the create path on first use, then
  // AOnCreated (if any) sees it before anyone else does.
  void* GetInstance(const Text& AClassName, const TDSInstanceContext& AContext,
                    const std::function<void(void*)>& AOnCreated = {});
  void* FindInstance(const Text& AClassName) const;
  std::size_t Count() const;
  // Frees every instance, newest first.
  void Clear() noexcept;

 private:
  struct TItem {
    Text Name;
    TDSInstancePtr Instance;
    TDSInstanceContext Context;
    TDSClass Class;  // Context.Class points here
  };

  mutable std::recursive_mutex FMonitor;
  std::vector<std::unique_ptr<TItem>> FItems;  // oldest first; guarded by FMonitor
};
