#include "transport/server/ds_server.h"

#include <algorithm>

#include "platform/diagnostics.h"
#include "transport/dbx_error.h"
#include "transport/server/ds_admin.h"
#include "transport/server/method_provider.h"
#include "transport/server/provider_adapter.h"
#include "transport/server/server_method_messages.h"

TDSServerComponent::~TDSServerComponent() { SetServer(nullptr); }

void TDSServerComponent::SetServer(TDSCustomServer* AServer) {
  if (AServer == FServer) return;
  if (FServer) FServer->Detach(*this);
  FServer = AServer;
  if (FServer) FServer->Attach(*this);
}

TDSCustomServer::TDSCustomServer() = default;

TDSCustomServer::~TDSCustomServer() {
  Stop();
  for (TDSServerComponent* component : FComponents) component->FServer = nullptr;
}

void TDSCustomServer::Attach(TDSServerComponent& AComponent) {
  if (std::find(FComponents.begin(), FComponents.end(), &AComponent) == FComponents.end())
    FComponents.push_back(&AComponent);
}

void TDSCustomServer::Detach(TDSServerComponent& AComponent) {
  std::erase(FComponents, &AComponent);
}

void TDSCustomServer::StopComponents() noexcept {
  for (TDSServerComponent* component : FComponents) {
    try {
      component->Stop();
    } catch (...) {
      // Stopping goes on with the other components.
      diagnostics::ReportCurrentException(u"DSServer");
    }
  }
}

void TDSCustomServer::Start() {
  if (FStarted) return;
  try {
    for (TDSServerComponent* component : FComponents) component->Start();
    FServerMethodProvider = std::make_unique<TDSServerMethodProvider>(*this, BuiltInClass);
    FServerMethodProvider->Open();
  } catch (...) {
    StopComponents();
    FServerMethodProvider.reset();
    throw;
  }
  // The transports already serve connections: they get the registry only once it is open.
  FPublishedProvider.store(FServerMethodProvider.get(), std::memory_order_release);
  FStarted = true;
}

void TDSCustomServer::Stop() {
  if (!FStarted) return;
  // The transports' stop ends every connection thread before the registry goes.
  StopComponents();
  FPublishedProvider.store(nullptr, std::memory_order_release);
  FServerMethodProvider.reset();
  FStarted = false;
}

bool TDSCustomServerClass::LifeCycleStored() const {
  return UpperCaseName(FLifeCycle) != UpperCaseName(kDefaultLifeCycle);
}

TDSClass TDSServerClass::GetDSClass() {
  const TDSClassDescription* persistentClass = nullptr;
  if (OnGetClass) OnGetClass(*this, persistentClass);
  if (!persistentClass) {
    throw TDBXError(server_method_messages::kNoClassCode, server_method_messages::kNoClass);
  }
  return ReflectionOf(*persistentClass);
}

void TDSServerClass::CreateInstance(TDSCreateInstanceEventObject& AEvent) {
  AEvent.ServerClassInstance.reset();
  if (OnCreateInstance) OnCreateInstance(AEvent);
}

void TDSServerClass::DestroyInstance(TDSDestroyInstanceEventObject& AEvent) {
  if (OnDestroyInstance) OnDestroyInstance(AEvent);
}

void TDSServerClass::Prepare(TDSPrepareEventObject& AEvent) {
  if (OnPrepare) OnPrepare(AEvent);
}
