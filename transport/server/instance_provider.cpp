#include "transport/server/instance_provider.h"

#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "transport/server/provider_adapter.h"

TDSInstancePtr CreateServerInstance(const TDSInstanceContext& AContext) {
  const TDSClass& dsClass = *AContext.Class;
  const TDSClassDescription& presented = dsClass.Presented();
  TDSInstancePtr instance;
  if (AContext.ServerClass) {
    TDSCreateInstanceEventObject event;
    event.Server = AContext.Server;
    event.Connection = AContext.Connection;
    event.ServerClass = AContext.ServerClass;
    event.Class = &presented;
    AContext.ServerClass->CreateInstance(event);
    instance = std::move(event.ServerClassInstance);
  }
  if (!instance) {
    if (!presented.Create) throw Exception(u"No constructor for class " + presented.ClassName);
    instance = presented.Create();
  }
  if (dsClass.IsAdapted) {
    return MakeInstance<TDSProviderDataModuleAdapter>(std::move(instance));
  }
  return instance;
}

void DestroyServerInstance(const TDSInstanceContext& AContext, TDSInstancePtr AInstance) noexcept {
  if (!AInstance) return;
  const TDSClass& dsClass = *AContext.Class;
  if (!AContext.ServerClass) return;  // AInstance frees itself
  TDSDestroyInstanceEventObject event;
  event.Server = AContext.Server;
  event.Connection = AContext.Connection;
  event.ServerClass = AContext.ServerClass;
  event.Class = &dsClass.Presented();
  event.ServerClassInstance =
      dsClass.IsAdapted
          ? static_cast<TDSProviderDataModuleAdapter*>(AInstance.get())->ReleaseAdaptee()
          : std::move(AInstance);
  try {
    AContext.ServerClass->DestroyInstance(event);
  } catch (...) {
    // Runs at the end of connections and at server stop, where nobody could answer it.
    diagnostics::ReportCurrentException(u"DSServerClass");
  }
}

void* MethodInstanceOf(const TDSClass& AClass, const TDSMethod& AMethod, void* AInstance) {
  if (AClass.IsAdapted && AMethod.OnAdaptee)
    return static_cast<TDSProviderDataModuleAdapter*>(AInstance)->Adaptee();
  return AInstance;
}

void* TDSHashtableInstanceProvider::GetInstance(const Text& AClassName,
                                                const TDSInstanceContext& AContext,
                                                const std::function<void(void*)>& AOnCreated) {
  std::lock_guard lock(FMonitor);
  // The description is compared too: a class dropped and added again under the same name at
  // run time may be another class, whose methods must not run on the old instance.
  const TDSClassDescription* presented = &AContext.Class->Presented();
  for (const auto& kept : FItems)
    if (kept->Name == AClassName && &kept->Class.Presented() == presented)
      return kept->Instance.get();
  auto item = std::make_unique<TItem>();
  item->Name = AClassName;
  item->Class = *AContext.Class;
  item->Context = AContext;
  item->Context.Class = &item->Class;
  item->Instance = CreateServerInstance(item->Context);
  void* instance = item->Instance.get();
  if (AOnCreated) AOnCreated(instance);
  FItems.push_back(std::move(item));
  return instance;
}

void* TDSHashtableInstanceProvider::FindInstance(const Text& AClassName) const {
  std::lock_guard lock(FMonitor);
  for (const auto& item : FItems)
    if (item->Name == AClassName) return item->Instance.get();
  return nullptr;
}

std::size_t TDSHashtableInstanceProvider::Count() const {
  std::lock_guard lock(FMonitor);
  return FItems.size();
}

void TDSHashtableInstanceProvider::Clear() noexcept {
  std::vector<std::unique_ptr<TItem>> items;
  {
    std::lock_guard lock(FMonitor);
    items.swap(FItems);
  }
  while (!items.empty()) {
    TItem& item = *items.back();
    DestroyServerInstance(item.Context, std::move(item.Instance));
    items.pop_back();
  }
}
