#pragma once

// The provider data module adapter: classes that descend from the provider data module are
// offered through it. An adapter instance owns an instance of the adapted class (the adaptee);
// the adapter's own methods, the provider interface (AS_ApplyUpdates and the others), are
// listed under the adapted class's name after the class's own methods. They forward to the
// module's providers; the modules of this program hold none, so each call answers as a module
// without providers: no provider names, and "Provider not exported" for any named provider.

#include "transport/server/server_class_description.h"

class TDSProviderDataModuleAdapter {
 public:
  explicit TDSProviderDataModuleAdapter(TDSInstancePtr AAdaptee) : FAdaptee(std::move(AAdaptee)) {}

  void* Adaptee() const { return FAdaptee.get(); }
  // Hands the adaptee over (to a destroy-instance handler); the adapter holds none afterwards.
  TDSInstancePtr ReleaseAdaptee() { return std::move(FAdaptee); }

 private:
  TDSInstancePtr FAdaptee;
};

// The adapter's description: "TDSProviderDataModuleAdapter" with its seven provider methods.
const TDSClassDescription& ProviderDataModuleAdapterClass();

// The reflection of a class: through the adapter when it descends from the provider data
// module, else the class itself.
TDSClass ReflectionOf(const TDSClassDescription& AClass);
