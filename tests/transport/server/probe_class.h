#pragma once

// A described class for the registry tests: its instances report their birth and death to a
// log, its methods cover each kind of parameter, and a few methods must be dropped by the type
// filter. TProbeServer is a started server with the probe class attached.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/exception.h"
#include "transport/server/ds_server.h"
#include "transport/server/method_provider.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"

namespace probe {

// Births and deaths of probe instances, by serial number (1 for the first made).
struct TProbeLog {
  std::mutex Lock;
  int Made = 0;
  std::vector<int> Destroyed;
  std::vector<std::vector<TDBXValue>> Calls;  // arguments as the methods received them

  int Live() {
    std::lock_guard lock(Lock);
    return Made - static_cast<int>(Destroyed.size());
  }
};

class TProbe {
 public:
  explicit TProbe(TProbeLog& ALog) : FLog(ALog) {
    std::lock_guard lock(FLog.Lock);
    FSerial = ++FLog.Made;
  }
  ~TProbe() {
    std::lock_guard lock(FLog.Lock);
    FLog.Destroyed.push_back(FSerial);
  }
  int Serial() const { return FSerial; }
  void Record(const std::vector<TDBXValue>& AArgs) {
    std::lock_guard lock(FLog.Lock);
    FLog.Calls.push_back(AArgs);
  }

 private:
  TProbeLog& FLog;
  int FSerial = 0;
};

inline TProbe& Self(void* AInstance) { return *static_cast<TProbe*>(AInstance); }

inline TDSTypeDescription String() { return TDSTypeDescription::Named(u"string"); }
inline TDSTypeDescription Integer() { return TDSTypeDescription::Named(u"int"); }

inline TDSMethodDescription Method(Text AName, std::vector<TDSParameterDescription> AParameters,
                                   std::optional<TDSTypeDescription> AResult,
                                   TDSMethodThunk ACall = {}) {
  TDSMethodDescription method;
  method.Name = std::move(AName);
  method.Parameters = std::move(AParameters);
  method.ReturnType = std::move(AResult);
  method.Call = ACall ? std::move(ACall) : [](void* AInstance, std::vector<TDBXValue>& AArgs) {
    Self(AInstance).Record(AArgs);
    return TDBXValue();
  };
  return method;
}

// The probe's parent, whose one method is listed after the probe's own.
inline TDSClassDescription ParentClass() {
  TDSClassDescription c;
  c.ClassName = u"TProbeBase";
  c.UnitName = u"tests.Probe";
  c.Methods.push_back(Method(u"Inherited", {}, String(), [](void*, std::vector<TDBXValue>&) {
    return TDBXValue(Text(u"base"));
  }));
  return c;
}

// TProbe's methods in declaration order; the ones named Dropped... fail the type filter.
inline TDSClassDescription ProbeClass(TProbeLog& ALog, const TDSClassDescription* AParent,
                                      Text AClassName = u"TProbe") {
  using P = TDSParameterPassing;
  TDSClassDescription c;
  c.ClassName = std::move(AClassName);
  c.UnitName = u"tests.Probe";
  c.Parent = AParent;
  c.Create = [&ALog] { return MakeInstance<TProbe>(ALog); };
  c.Methods = {
      Method(u"Echo", {{u"AText", String(), P::Value}, {u"ANumber", Integer(), P::Value}}, String(),
             [](void* AInstance, std::vector<TDBXValue>& AArgs) {
               Self(AInstance).Record(AArgs);
               return AArgs[0];
             }),
      Method(u"Swap", {{u"AValue", Integer(), P::Reference}, {u"AText", String(), P::Out}},
             TDSTypeDescription::Named(u"bool"),
             [](void* AInstance, std::vector<TDBXValue>& AArgs) {
               Self(AInstance).Record(AArgs);
               AArgs[1] = Text(u"was ") +
                          text::FromAscii(std::to_string(std::get<std::int64_t>(AArgs[0])));
               AArgs[0] = std::get<std::int64_t>(AArgs[0]) * 2;
               return TDBXValue(true);
             }),
      Method(u"Fail", {{u"AText", String(), P::Out}}, String(),
             [](void* AInstance, std::vector<TDBXValue>& AArgs) -> TDBXValue {
               Self(AInstance).Record(AArgs);
               AArgs[0] = Text(u"partial");
               throw Exception(std::string_view("probe failed"));
             }),
      Method(u"Nothing", {}, std::nullopt),
      Method(u"Serial", {}, TDSTypeDescription::Named(u"Int64"),
             [](void* AInstance, std::vector<TDBXValue>&) {
               return TDBXValue(std::int64_t{Self(AInstance).Serial()});
             }),
      Method(
          u"Callback",
          {{u"ACallback", TDSTypeDescription::Class(u"TDBXCallback", u"Data.DBXCommon"), P::Value}},
          std::nullopt),
      Method(u"Table", {{u"ATable", TDSTypeDescription::Class(u"TDBXReader", u"Data.DBXCommon")}},
             TDSTypeDescription::Class(u"TDBXReader", u"Data.DBXCommon"),
             [](void* AInstance, std::vector<TDBXValue>& AArgs) {
               Self(AInstance).Record(AArgs);
               return AArgs[0];
             }),
      Method(u"DroppedUnknownType", {{u"AThing", TDSTypeDescription::Named(u"TPoint")}},
             std::nullopt),
      Method(u"DroppedValueOut",
             {{u"AValue",
               TDSTypeDescription::Class(u"TDBXInt32Value", u"Data.DBXCommon", {u"TDBXValue"}),
               P::Out}},
             std::nullopt),
      Method(u"DroppedValueResult", {},
             TDSTypeDescription::Class(u"TDBXWideStringValue", u"Data.DBXCommon", {u"TDBXValue"})),
      Method(u"DroppedWideStringByReference",
             {{u"AText", TDSTypeDescription::Named(u"WideString"), P::Reference}}, std::nullopt),
  };
  TDSMethodDescription constructor = Method(u"Create", {}, std::nullopt);
  constructor.Kind = TDSMethodKind::Constructor;
  c.Methods.push_back(std::move(constructor));
  return c;
}

// The aliases of the built-in classes, in registration order.
inline const std::vector<Text> kBuiltInAliases = {
    u"DSAdmin.GetPlatformName",
    u"DSAdmin.ClearResources",
    u"DSAdmin.FindPackages",
    u"DSAdmin.FindClasses",
    u"DSAdmin.FindMethods",
    u"DSAdmin.CreateServerClasses",
    u"DSAdmin.DropServerClasses",
    u"DSAdmin.CreateServerMethods",
    u"DSAdmin.DropServerMethods",
    u"DSAdmin.GetServerClasses",
    u"DSAdmin.ListClasses",
    u"DSAdmin.DescribeClass",
    u"DSAdmin.ListMethods",
    u"DSAdmin.DescribeMethod",
    u"DSAdmin.GetServerMethods",
    u"DSAdmin.GetServerMethodParameters",
    u"DSAdmin.GetConnection",
    u"DSAdmin.GetDatabaseConnectionProperties",
    u"DSAdmin.GetDSServerName",
    u"DSMetadata.GetProcedures",
    u"DSMetadata.GetProcedureParameters",
    u"DSMetadata.GetDatabase",
    u"DSMetadata.GetDSServerName",
};

inline std::vector<Text> Concat(std::vector<Text> a, const std::vector<Text>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The aliases the probe contributes, in order.
inline std::vector<Text> ProbeAliases(const Text& AClassName = u"TProbe") {
  std::vector<Text> aliases;
  for (const char16_t* name :
       {u"Echo", u"Swap", u"Fail", u"Nothing", u"Serial", u"Callback", u"Table", u"Inherited"})
    aliases.push_back(AClassName + u"." + name);
  return aliases;
}

// A server with the probe class attached under the given lifecycle (not started).
struct TProbeServer {
  explicit TProbeServer(Text ALifeCycle = u"Session") {
    Server.SetName(u"dsSvr");
    ServerClass.SetLifeCycle(std::move(ALifeCycle));
    ServerClass.OnGetClass = [this](TDSServerClass&, const TDSClassDescription*& AClass) {
      AClass = &Probe;
    };
    ServerClass.SetServer(&Server);
  }

  TDSServerMethodProvider& Provider() { return *Server.ServerMethodProvider(); }

  std::unique_ptr<TDSServerMethod> Prepare(TDSServerConnection& AConnection, TextView AText) {
    return Provider().PrepareMethod(AConnection, AText);
  }

  TProbeLog Log;
  TDSClassDescription Parent = ParentClass();
  TDSClassDescription Probe = ProbeClass(Log, &Parent);
  // The class component outlives the server, whose instances still name it when it stops.
  TDSServerClass ServerClass;
  TDSServer Server;
};

}  // namespace probe
