#include "app/container/sign_service_class.h"

#include <utility>

#include "server/service/sm_sign_service.h"

namespace {

TDSTypeDescription String() { return TDSTypeDescription::Named(u"string"); }

TSMSignService& Self(void* AInstance) { return *static_cast<TSMSignService*>(AInstance); }

TDSClassDescription MakeSignServiceClass() {
  TDSClassDescription c;
  c.ClassName = u"TSMSignService";
  c.UnitName = u"server.service.SMSignService";
  c.DescendsFromProviderDataModule = true;  // a server module
  c.Create = [] { return MakeInstance<TSMSignService>(); };

  TDSMethodDescription& list = c.Methods.emplace_back();
  list.Name = u"getListCertificate";
  list.ReturnType = String();
  list.Call = [](void* AInstance, std::vector<TDBXValue>&) -> TDBXValue {
    return Self(AInstance).getListCertificate();
  };

  TDSMethodDescription& sign = c.Methods.emplace_back();
  sign.Name = u"SignDocument";
  sign.Parameters = {{u"AXMLNF", String(), TDSParameterPassing::Value},
                     {u"ASerialNumber", String(), TDSParameterPassing::Value}};
  sign.ReturnType = String();
  sign.Call = [](void* AInstance, std::vector<TDBXValue>& AArgs) -> TDBXValue {
    // The document is the call's own: signing may free it before the signed copy is made.
    return Self(AInstance).SignDocument(std::move(std::get<Text>(AArgs[0])),
                                        std::get<Text>(AArgs[1]));
  };
  return c;
}

}  // namespace

const TDSClassDescription& SignServiceClass() {
  static const TDSClassDescription signService = MakeSignServiceClass();
  return signService;
}

void DSServerClass1GetClass(TDSServerClass& /*DSServerClass*/,
                            const TDSClassDescription*& PersistentClass) {
  PersistentClass = &SignServiceClass();
}
