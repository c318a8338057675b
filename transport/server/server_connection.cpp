#include "transport/server/server_connection.h"

#include "transport/server/method_provider.h"

TDSServerConnection::~TDSServerConnection() { FreeInstanceProvider(); }

TDSHashtableInstanceProvider& TDSServerConnection::InstanceProvider() {
  if (!FInstanceProvider) FInstanceProvider = std::make_unique<TDSHashtableInstanceProvider>();
  return *FInstanceProvider;
}

TDSInstancePtr TDSServerConnection::CreateInstance(TDSCustomServerClass* AServerClass,
                                                   const TDSClass& AClass) {
  return CreateServerInstance({&AClass, AServerClass, this, FServer});
}

void TDSServerConnection::DestroyInstance(TDSCustomServerClass* AServerClass,
                                          const TDSClass& AClass,
                                          TDSInstancePtr AInstance) noexcept {
  DestroyServerInstance({&AClass, AServerClass, this, FServer}, std::move(AInstance));
}

void* TDSServerConnection::GetInstance(const TDSClassInfo& AClassInfo) {
  std::function<void(void*)> bind;
  const TDSClassDescription& presented = AClassInfo.DSClass.Presented();
  if (AClassInfo.IsAdminClass && presented.BindConnection) {
    bind = [this, &presented](void* AInstance) {
      presented.BindConnection(AInstance, *this, FServer);
    };
  }
  return InstanceProvider().GetInstance(
      AClassInfo.ClassName, {&AClassInfo.DSClass, AClassInfo.ServerClass, this, FServer}, bind);
}
