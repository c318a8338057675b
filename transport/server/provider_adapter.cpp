#include "transport/server/provider_adapter.h"

#include "platform/exception.h"
#include "transport/server/server_method_messages.h"

namespace {

using server_method_messages::Fill;

TDSTypeDescription WideString() { return TDSTypeDescription::Named(u"WideString"); }
TDSTypeDescription Integer() { return TDSTypeDescription::Named(u"Integer"); }
TDSTypeDescription OleVariant() { return TDSTypeDescription::Named(u"OleVariant"); }

TDSParameterDescription In(Text AName, TDSTypeDescription AType) {
  return {std::move(AName), std::move(AType), TDSParameterPassing::Value};
}
TDSParameterDescription Var(Text AName, TDSTypeDescription AType) {
  return {std::move(AName), std::move(AType), TDSParameterPassing::Reference};
}
TDSParameterDescription Out(Text AName, TDSTypeDescription AType) {
  return {std::move(AName), std::move(AType), TDSParameterPassing::Out};
}

// Every provider method but AS_GetProviderNames names a provider in its first argument.
[[noreturn]] void ProviderNotExported(const std::vector<TDBXValue>& AArgs) {
  const Text* name = AArgs.empty() ? nullptr : std::get_if<Text>(&AArgs[0]);
  throw Exception(Fill(server_method_messages::kProviderNotExported, {name ? *name : Text()}));
}

TDBXValue NoProvider(void*, std::vector<TDBXValue>& AArgs) { ProviderNotExported(AArgs); }

TDSMethodDescription Method(Text AName, std::vector<TDSParameterDescription> AParameters,
                            std::optional<TDSTypeDescription> AResult, TDSMethodThunk ACall) {
  TDSMethodDescription method;
  method.Name = std::move(AName);
  method.Parameters = std::move(AParameters);
  method.ReturnType = std::move(AResult);
  method.Call = std::move(ACall);
  return method;
}

TDSClassDescription MakeAdapterClass() {
  TDSClassDescription c;
  c.ClassName = u"TDSProviderDataModuleAdapter";
  c.UnitName = u"Datasnap.DSProviderDataModuleAdapter";
  c.Methods = {
      Method(u"AS_ApplyUpdates",
             {In(u"ProviderName", WideString()), In(u"Delta", OleVariant()),
              In(u"MaxErrors", Integer()), Out(u"ErrorCount", Integer()),
              Var(u"OwnerData", OleVariant())},
             OleVariant(), NoProvider),
      Method(
          u"AS_GetRecords",
          {In(u"ProviderName", WideString()), In(u"Count", Integer()), Out(u"RecsOut", Integer()),
           In(u"Options", Integer()), In(u"CommandText", WideString()),
           Var(u"Params", OleVariant()), Var(u"OwnerData", OleVariant())},
          OleVariant(), NoProvider),
      Method(u"AS_DataRequest", {In(u"ProviderName", WideString()), In(u"Data", OleVariant())},
             OleVariant(), NoProvider),
      // A module without providers has no names to give.
      Method(u"AS_GetProviderNames", {}, OleVariant(),
             [](void*, std::vector<TDBXValue>&) { return TDBXValue(); }),
      Method(u"AS_GetParams", {In(u"ProviderName", WideString()), Var(u"OwnerData", OleVariant())},
             OleVariant(), NoProvider),
      Method(u"AS_RowRequest",
             {In(u"ProviderName", WideString()), In(u"Row", OleVariant()),
              In(u"RequestType", Integer()), Var(u"OwnerData", OleVariant())},
             OleVariant(), NoProvider),
      Method(u"AS_Execute",
             {In(u"ProviderName", WideString()), In(u"CommandText", WideString()),
              Var(u"Params", OleVariant()), Var(u"OwnerData", OleVariant())},
             std::nullopt, NoProvider),
  };
  return c;
}

}  // namespace

const TDSClassDescription& ProviderDataModuleAdapterClass() {
  static const TDSClassDescription adapter = MakeAdapterClass();
  return adapter;
}

TDSClass ReflectionOf(const TDSClassDescription& AClass) {
  if (AClass.DescendsFromProviderDataModule)
    return {&ProviderDataModuleAdapterClass(), &AClass, true};
  return {&AClass, nullptr, false};
}
