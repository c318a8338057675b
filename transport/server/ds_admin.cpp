#include "transport/server/ds_admin.h"

#include "transport/dbx_error.h"
#include "transport/server/server_method_messages.h"

namespace {

using server_method_messages::Fill;

TDSTypeDescription String() { return TDSTypeDescription::Named(u"string"); }
TDSTypeDescription Boolean() { return TDSTypeDescription::Named(u"Boolean"); }
TDSTypeDescription Table() { return TDSTypeDescription::Class(u"TDBXReader", u"Data.DBXCommon"); }
TDSTypeDescription JsonArray() {
  return TDSTypeDescription::Class(u"TJSONArray", u"Data.DBXJSON", {u"TJSONValue"});
}
TDSTypeDescription JsonObject() {
  return TDSTypeDescription::Class(u"TJSONObject", u"Data.DBXJSON", {u"TJSONValue"});
}
TDSTypeDescription Connection() {
  return TDSTypeDescription::Class(u"TDBXConnection", u"Data.DBXCommon");
}

TDSParameterDescription In(Text AName, TDSTypeDescription AType) {
  return {std::move(AName), std::move(AType), TDSParameterPassing::Value};
}

template <class TClass>
TClass& Self(void* AInstance) {
  return *static_cast<TClass*>(AInstance);
}

// The methods whose answers come with the administrative tables are not served yet.
TDSMethodThunk NotAvailable(Text AMethodAlias) {
  return [alias = std::move(AMethodAlias)](void*, std::vector<TDBXValue>&) -> TDBXValue {
    throw TDBXError(server_method_messages::kGeneralErrorCode,
                    Fill(server_method_messages::kNotImplemented, {alias}));
  };
}

template <class TClass>
TDSClassDescription BuiltIn(Text AClassName) {
  TDSClassDescription c;
  c.ClassName = std::move(AClassName);
  c.UnitName = u"DSCommonServer";
  c.Create = [] { return MakeInstance<TClass>(); };
  c.BindConnection = [](void* AInstance, TDSServerConnection& AConnection,
                        TDSCustomServer* AServer) {
    Self<TClass>(AInstance).Bind(AConnection, AServer);
  };
  return c;
}

template <class TClass>
TDSMethodThunk ServerName() {
  return [](void* AInstance, std::vector<TDBXValue>&) -> TDBXValue {
    return Self<TClass>(AInstance).GetDSServerName();
  };
}

TDSClassDescription MakeDSAdmin() {
  TDSClassDescription c = BuiltIn<TDSAdmin>(u"DSAdmin");
  const auto method = [&c](Text AName, std::vector<TDSParameterDescription> AParameters,
                           std::optional<TDSTypeDescription> AResult, TDSMethodThunk ACall = {}) {
    if (!ACall) ACall = NotAvailable(u"DSAdmin." + AName);
    TDSMethodDescription& added = c.Methods.emplace_back();
    added.Name = std::move(AName);
    added.Parameters = std::move(AParameters);
    added.ReturnType = std::move(AResult);
    added.Call = std::move(ACall);
  };
  method(u"GetPlatformName", {}, String(),
         [](void*, std::vector<TDBXValue>&) -> TDBXValue { return TDSAdmin::GetPlatformName(); });
  method(u"ClearResources", {}, Boolean());
  method(u"FindPackages", {}, Table());
  method(u"FindClasses", {In(u"PackageName", String()), In(u"ClassPattern", String())}, Table());
  method(
      u"FindMethods",
      {In(u"PackageName", String()), In(u"ClassPattern", String()), In(u"MethodPattern", String())},
      Table());
  method(u"CreateServerClasses", {In(u"ClassReader", Table())}, std::nullopt);
  method(u"DropServerClasses", {In(u"ClassReader", Table())}, std::nullopt);
  method(u"CreateServerMethods", {In(u"MethodReader", Table())}, std::nullopt);
  method(u"DropServerMethods", {In(u"MethodReader", Table())}, std::nullopt);
  method(u"GetServerClasses", {}, Table());
  method(u"ListClasses", {}, JsonArray());
  method(u"DescribeClass", {In(u"ClassName", String())}, JsonObject());
  method(u"ListMethods", {In(u"ClassName", String())}, JsonArray());
  method(u"DescribeMethod", {In(u"ServerMethodName", String())}, JsonObject());
  method(u"GetServerMethods", {}, Table());
  method(u"GetServerMethodParameters", {}, Table());
  method(u"GetConnection", {In(u"NewConName", String())}, Connection());
  method(u"GetDatabaseConnectionProperties", {}, Table());
  method(u"GetDSServerName", {}, String(), ServerName<TDSAdmin>());
  return c;
}

TDSClassDescription MakeDSMetadata() {
  TDSClassDescription c = BuiltIn<TDSMetadata>(u"DSMetadata");
  const auto method = [&c](Text AName, std::vector<TDSParameterDescription> AParameters,
                           std::optional<TDSTypeDescription> AResult, TDSMethodThunk ACall = {}) {
    if (!ACall) ACall = NotAvailable(u"DSMetadata." + AName);
    TDSMethodDescription& added = c.Methods.emplace_back();
    added.Name = std::move(AName);
    added.Parameters = std::move(AParameters);
    added.ReturnType = std::move(AResult);
    added.Call = std::move(ACall);
  };
  method(u"GetProcedures", {In(u"ProcedureNamePattern", String()), In(u"ProcedureType", String())},
         Table());
  method(u"GetProcedureParameters", {In(u"ProcedureNamePattern", String())}, Table());
  method(u"GetDatabase", {}, Table());
  method(u"GetDSServerName", {}, String(), ServerName<TDSMetadata>());
  return c;
}

}  // namespace

Text TDSBuiltInClassInstance::GetDSServerName() const {
  const auto* server = dynamic_cast<const TDSServer*>(FServer);
  return server ? server->Name() : Text();
}

const TDSClassDescription& DSAdminClass() {
  static const TDSClassDescription admin = MakeDSAdmin();
  return admin;
}

const TDSClassDescription& DSMetadataClass() {
  static const TDSClassDescription metadata = MakeDSMetadata();
  return metadata;
}

const TDSClassDescription& BuiltInClass(const Text& AClassName) {
  if (AClassName == u"DSAdmin") return DSAdminClass();
  if (AClassName == u"DSMetadata") return DSMetadataClass();
  throw Exception(u"Class not found: " + AClassName);
}
