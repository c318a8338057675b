#include "transport/server/method_provider.h"

#include <algorithm>
#include <unordered_map>

#include "transport/dbx_error.h"
#include "transport/server/ds_admin.h"
#include "transport/server/method_name_scanner.h"
#include "transport/server/provider_adapter.h"
#include "transport/server/server_method.h"
#include "transport/server/server_method_messages.h"
#include "transport/server/session_manager.h"
#include "transport/server/type_mapping.h"

namespace {

using server_method_messages::Fill;

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Hash and equality of method search names without regard to ASCII case, so that a command
// text is looked up as it arrives, without an upper-cased copy. The hash is not noexcept on
// purpose: libstdc++ then keeps each node's hash, instead of hashing neighbouring keys again
// while it walks a bucket.
struct TUpperHash {
  using is_transparent = void;
  std::size_t operator()(TextView AName) const {
    std::size_t hash = 14695981039346656037ull;  // FNV-1a
    for (char16_t c : AName) {
      hash ^= Upper(c);
      hash *= 1099511628211ull;
    }
    return hash;
  }
};

struct TUpperEqual {
  using is_transparent = void;
  bool operator()(TextView a, TextView b) const noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
  }
};

struct TExactHash {
  using is_transparent = void;
  std::size_t operator()(TextView AName) const noexcept { return std::hash<TextView>{}(AName); }
};

bool IsCandidate(const TDSMethodDescription& AMethod) {
  if (AMethod.Kind != TDSMethodKind::Method) return false;
  if (AMethod.ReturnType && (!type_mapping::TypeCodeOf(*AMethod.ReturnType) ||
                             type_mapping::IsValueObject(*AMethod.ReturnType)))
    return false;
  for (const TDSParameterDescription& parameter : AMethod.Parameters) {
    if (!type_mapping::TypeCodeOf(parameter.Type, parameter.Passing)) return false;
    if (type_mapping::IsValueObject(parameter.Type) &&
        parameter.Passing != TDSParameterPassing::Value)
      return false;
  }
  return true;
}

[[noreturn]] void CannotDrop(const Text& AName) {
  throw TDBXError(server_method_messages::kGeneralErrorCode,
                  Fill(server_method_messages::kRegisteredAtStart, {AName}));
}

}  // namespace

Text MethodAliasOf(TextView AClassName, TextView AMethodName) {
  const std::size_t dot = AClassName.rfind(u'.');
  const TextView shortName = dot == TextView::npos ? AClassName : AClassName.substr(dot + 1);
  return Text(shortName) + u'.' + Text(AMethodName);
}

Text UpperCaseName(TextView AName) {
  Text upper(AName);
  for (char16_t& c : upper) c = Upper(c);
  return upper;
}

std::vector<TDSMethod> RegistrableMethods(const TDSClass& AClass) {
  std::vector<TDSMethod> methods;
  const auto collect = [&methods](const TDSClassDescription* ADescription, bool AOnAdaptee) {
    for (; ADescription; ADescription = ADescription->Parent)
      for (const TDSMethodDescription& method : ADescription->Methods)
        if (IsCandidate(method)) methods.push_back({&method, ADescription, AOnAdaptee});
  };
  if (AClass.IsAdapted) collect(AClass.Adaptee, true);
  collect(AClass.Description, false);
  return methods;
}

struct TDSServerMethodProvider::TTables {
  std::vector<TDSClassInfoPtr> ClassList;    // registration order
  std::vector<TDSMethodInfoPtr> MethodList;  // registration order
  std::unordered_map<Text, TDSClassInfoPtr, TExactHash, std::equal_to<>> ClassTable;
  std::unordered_map<Text, TDSMethodInfoPtr, TUpperHash, TUpperEqual> MethodTable;
  std::vector<const TDSClassDescription*> KnownClasses;

  void Know(const TDSClassDescription& AClass) {
    if (std::find(KnownClasses.begin(), KnownClasses.end(), &AClass) == KnownClasses.end())
      KnownClasses.push_back(&AClass);
  }
};

TDSServerMethodProvider::TDSServerMethodProvider(TDSCustomServer& AServer,
                                                 TDSBuiltInClassLoader ABuiltInClassLoader)
    : FServer(AServer),
      FBuiltInClassLoader(std::move(ABuiltInClassLoader)),
      FTables(std::make_shared<const TTables>()) {}

TDSServerMethodProvider::~TDSServerMethodProvider() { Close(); }

void TDSServerMethodProvider::RegisterClass(TTables& ATables,
                                            std::shared_ptr<TDSClassInfo> AClassInfo) {
  if (ATables.ClassTable.contains(AClassInfo->ClassName)) {
    throw TDBXError(server_method_messages::kDuplicateClassCode,
                    Fill(server_method_messages::kDuplicateClass, {AClassInfo->ClassName}));
  }
  ATables.Know(AClassInfo->DSClass.Presented());
  TDSClassInfoPtr info = std::move(AClassInfo);
  ATables.ClassTable.emplace(info->ClassName, info);
  ATables.ClassList.push_back(info);
  RegisterMethods(ATables, info);
}

void TDSServerMethodProvider::RegisterMethods(TTables& ATables, const TDSClassInfoPtr& AClassInfo) {
  const TDSClass& dsClass = AClassInfo->DSClass;
  for (const TDSMethod& method : RegistrableMethods(dsClass)) {
    auto info = std::make_shared<TDSMethodInfo>();
    info->MethodName = method.MethodName();
    info->MethodAlias = MethodAliasOf(AClassInfo->ClassName, info->MethodName);
    info->SearchName = UpperCaseName(info->MethodAlias);
    info->ClassInfo = AClassInfo;
    info->Method = method;
    info->AuthorizedRoles =
        method.Description->Roles.empty() ? dsClass.Presented().Roles : method.Description->Roles;
    info->RegisteredAtStart = AClassInfo->RegisteredAtStart;
    RegisterMethod(ATables, std::move(info));
  }
}

void TDSServerMethodProvider::RegisterMethod(TTables& ATables,
                                             std::shared_ptr<TDSMethodInfo> AMethodInfo) {
  if (ATables.MethodTable.contains(AMethodInfo->SearchName)) {
    throw TDBXError(server_method_messages::kDuplicateMethodCode,
                    Fill(server_method_messages::kDuplicateMethod, {AMethodInfo->MethodAlias}));
  }
  TDSMethodInfoPtr info = std::move(AMethodInfo);
  ATables.MethodTable.emplace(info->SearchName, info);
  ATables.MethodList.push_back(std::move(info));
}

void TDSServerMethodProvider::Open() {
  std::lock_guard lock(FWriteLock);
  if (FOpen) return;
  auto tables = std::make_shared<TTables>();
  for (const Text& name : {Text(u"DSAdmin"), Text(u"DSMetadata")}) {
    const TDSClassDescription* description = nullptr;
    try {
      description = &FBuiltInClassLoader(name);
    } catch (const std::exception& e) {
      throw TDBXError(server_method_messages::kClassLoadCode, MessageOf(e));
    }
    auto info = std::make_shared<TDSClassInfo>();
    info->ClassName = name;
    info->UnitName = u"DSCommonServer";
    info->LifeCycle = Text(kSessionLifeCycle);
    info->DSClass = {description, nullptr, false};
    info->IsAdminClass = true;
    info->RegisteredAtStart = true;
    RegisterClass(*tables, std::move(info));
  }
  for (TDSServerComponent* component : FServer.Components()) {
    auto* serverClass = dynamic_cast<TDSCustomServerClass*>(component);
    if (!serverClass) continue;
    auto info = std::make_shared<TDSClassInfo>();
    info->DSClass = serverClass->GetDSClass();
    info->ClassName = info->DSClass.Presented().ClassName;
    info->UnitName = info->DSClass.Presented().UnitName;
    info->LifeCycle = serverClass->LifeCycle();
    info->RoleName = serverClass->RoleName();
    info->ServerClass = serverClass;
    info->RegisteredAtStart = true;
    RegisterClass(*tables, std::move(info));
  }
  Publish(std::move(tables));
  FOpen = true;
}

void TDSServerMethodProvider::Close() {
  {
    std::lock_guard lock(FWriteLock);
    Publish(std::make_shared<const TTables>());
    FOpen = false;
  }
  FServerInstanceProvider.Clear();
}

bool TDSServerMethodProvider::HasServerMethod(TextView AMethodName) const {
  return Snapshot()->MethodTable.contains(AMethodName);
}

TDSMethodInfoPtr TDSServerMethodProvider::FindMethod(TextView AMethodName) const {
  const TTablesPtr tables = Snapshot();
  const auto found = tables->MethodTable.find(AMethodName);
  return found == tables->MethodTable.end() ? nullptr : found->second;
}

TDSMethodResolution TDSServerMethodProvider::ResolveMethod(TextView ACommandText) const {
  TDSMethodResolution resolution;
  const TTablesPtr tables = Snapshot();
  if (const auto found = tables->MethodTable.find(ACommandText);
      found != tables->MethodTable.end()) {
    resolution.Method = found->second;
    return resolution;
  }
  TDSIdentifierScanner scanner(ACommandText);
  TDSToken terminator;
  const Text name = ScanMethodName(scanner, terminator);
  const auto found = tables->MethodTable.find(name);
  if (found == tables->MethodTable.end()) {
    throw TDBXError(server_method_messages::kMethodNotFoundCode,
                    Fill(server_method_messages::kMethodNotFound, {name}));
  }
  resolution.Method = found->second;
  if (terminator.IsSymbol(u'(')) {
    resolution.HasLiteralArguments = true;
    for (;;) {
      TDSToken item = scanner.Next();
      if (!item.IsName() && item.Kind != TDSTokenKind::Number) break;
      resolution.LiteralArguments.push_back(std::move(item.Value));
      if (!scanner.Next().IsSymbol(u',')) break;
    }
  }
  return resolution;
}

std::unique_ptr<TDSServerMethod> TDSServerMethodProvider::PrepareMethod(
    TDSServerConnection& AConnection, TextView ACommandText) {
  TDSMethodResolution resolution = ResolveMethod(ACommandText);
  auto method = std::make_unique<TDSServerMethod>(resolution.Method, AConnection, *this);
  method->AcquireInstance();

  if (const TDSSessionPtr session = AConnection.Session()) {
    TDSPrepareEventObject event;
    event.Server = &FServer;
    event.Connection = &AConnection;
    event.ServerClass = method->ServerClass();
    event.MethodAlias = resolution.Method->MethodAlias;
    event.Method = &method->Method();
    event.UserName = session->UserName();
    event.UserRoles = session->UserRoles();
    session->GetAuthRoles(event.MethodAlias, event.AuthorizedRoles, event.DeniedRoles);
    if (event.ServerClass) event.ServerClass->Prepare(event);
    if (auto* server = dynamic_cast<TDSServer*>(&FServer); server && server->OnPrepare)
      server->OnPrepare(event);
  }

  method->FParameters = BuildParameterList(method->Method(), &method->FHasOutOrReturn);
  if (resolution.HasLiteralArguments) method->ApplyLiteralArguments(resolution.LiteralArguments);
  return method;
}

TDSInstanceRef TDSServerMethodProvider::GetServerMethodInstance(TDSServerConnection& AConnection,
                                                                const TDSMethodInfo& AMethodInfo) {
  const TDSClassInfo& classInfo = *AMethodInfo.ClassInfo;
  const Text& lifeCycle = classInfo.LifeCycle;
  TDSInstanceRef instance;
  if (lifeCycle.empty() || lifeCycle == kServerLifeCycle) {
    instance.Instance = FServerInstanceProvider.GetInstance(
        classInfo.ClassName, {&classInfo.DSClass, classInfo.ServerClass, nullptr, &FServer});
  } else if (lifeCycle == kSessionLifeCycle) {
    instance.Instance = AConnection.GetInstance(classInfo);
  } else if (lifeCycle == kInvocationLifeCycle) {
    instance.Owned = AConnection.CreateInstance(classInfo.ServerClass, classInfo.DSClass);
    instance.Instance = instance.Owned.get();
  } else {
    throw TDBXError(server_method_messages::kUnknownLifeCycleCode,
                    Text(server_method_messages::kUnknownLifeCycle) + lifeCycle);
  }
  return instance;
}

std::vector<TDSClassInfoPtr> TDSServerMethodProvider::Classes() const {
  return Snapshot()->ClassList;
}

std::vector<TDSMethodInfoPtr> TDSServerMethodProvider::Methods() const {
  return Snapshot()->MethodList;
}

TDSClassInfoPtr TDSServerMethodProvider::FindClass(TextView AClassName) const {
  const TTablesPtr tables = Snapshot();
  const auto found = tables->ClassTable.find(AClassName);
  return found == tables->ClassTable.end() ? nullptr : found->second;
}

std::vector<const TDSClassDescription*> TDSServerMethodProvider::KnownClasses() const {
  return Snapshot()->KnownClasses;
}

template <class TChange>
bool TDSServerMethodProvider::Change(TChange&& AChange) {
  std::lock_guard lock(FWriteLock);
  auto tables = std::make_shared<TTables>(*Snapshot());
  if (!AChange(*tables)) return false;
  Publish(std::move(tables));
  return true;
}

void TDSServerMethodProvider::AddClassTo(TTables& ATables, const TDSServerClassEntry& AEntry) {
  auto info = std::make_shared<TDSClassInfo>();
  info->PackageName = AEntry.PackageName;
  info->ClassName = AEntry.Class->ClassName;
  info->UnitName = AEntry.Class->UnitName;
  info->LifeCycle = AEntry.LifeCycle;
  info->RoleName = AEntry.RoleName;
  info->DSClass = ReflectionOf(*AEntry.Class);
  RegisterClass(ATables, std::move(info));
}

bool TDSServerMethodProvider::DropClassFrom(TTables& ATables, TextView AClassName) {
  const auto found = ATables.ClassTable.find(AClassName);
  if (found == ATables.ClassTable.end()) return false;
  const TDSClassInfoPtr info = found->second;
  if (info->RegisteredAtStart) CannotDrop(info->ClassName);
  for (const TDSMethodInfoPtr& method : ATables.MethodList)
    if (method->ClassInfo == info && method->RegisteredAtStart) CannotDrop(method->MethodAlias);

  ATables.ClassTable.erase(info->ClassName);
  std::erase(ATables.ClassList, info);
  std::erase_if(ATables.MethodList, [&](const TDSMethodInfoPtr& method) {
    if (method->ClassInfo != info) return false;
    ATables.MethodTable.erase(method->SearchName);
    return true;
  });
  return true;
}

void TDSServerMethodProvider::AddMethodTo(TTables& ATables, const TDSServerMethodEntry& AEntry) {
  const auto found = ATables.ClassTable.find(AEntry.ClassName);
  TDSMethod method;
  if (found != ATables.ClassTable.end()) {
    const TDSClass& dsClass = found->second->DSClass;
    const auto search = [&](const TDSClassDescription* AClass, bool AOnAdaptee) {
      for (; AClass && !method.Description; AClass = AClass->Parent)
        for (const TDSMethodDescription& candidate : AClass->Methods)
          if (candidate.Name == AEntry.MethodName) {
            method = {&candidate, AClass, AOnAdaptee};
            break;
          }
    };
    if (dsClass.IsAdapted) search(dsClass.Adaptee, true);
    search(dsClass.Description, false);
  }
  if (!method.Description) {
    throw TDBXError(
        server_method_messages::kMethodNotFoundCode,
        Fill(server_method_messages::kNoSuchMethodInClass, {AEntry.MethodName, AEntry.ClassName}));
  }
  auto info = std::make_shared<TDSMethodInfo>();
  info->MethodAlias = AEntry.MethodAlias;
  info->SearchName = UpperCaseName(info->MethodAlias);
  info->MethodName = AEntry.MethodName;
  info->ClassInfo = found->second;
  info->Method = method;
  info->AuthorizedRoles = AEntry.Roles;
  RegisterMethod(ATables, std::move(info));
}

bool TDSServerMethodProvider::DropMethodFrom(TTables& ATables, TextView AMethodAlias) {
  const auto found = ATables.MethodTable.find(AMethodAlias);
  if (found == ATables.MethodTable.end()) return false;
  const TDSMethodInfoPtr info = found->second;
  if (info->RegisteredAtStart) CannotDrop(info->MethodAlias);
  ATables.MethodTable.erase(info->SearchName);
  std::erase(ATables.MethodList, info);
  return true;
}

void TDSServerMethodProvider::AddServerClass(const TDSClassDescription& AClass, Text ALifeCycle,
                                             Text ARoleName, Text APackageName) {
  AddServerClasses(
      {{&AClass, std::move(ALifeCycle), std::move(ARoleName), std::move(APackageName)}});
}

void TDSServerMethodProvider::AddServerClasses(const std::vector<TDSServerClassEntry>& AClasses) {
  Change([&](TTables& ATables) {
    for (const TDSServerClassEntry& entry : AClasses) AddClassTo(ATables, entry);
    return true;
  });
}

bool TDSServerMethodProvider::DropServerClass(TextView AClassName) {
  return Change([&](TTables& ATables) { return DropClassFrom(ATables, AClassName); });
}

void TDSServerMethodProvider::DropServerClasses(const std::vector<Text>& AClassNames) {
  Change([&](TTables& ATables) {
    for (const Text& name : AClassNames) {
      if (!DropClassFrom(ATables, name)) {
        throw TDBXError(server_method_messages::kGeneralErrorCode,
                        Fill(server_method_messages::kClassNotFound, {name}));
      }
    }
    return true;
  });
}

void TDSServerMethodProvider::AddServerMethod(Text AMethodAlias, TextView AClassName,
                                              TextView AMethodName, std::vector<Text> ARoles) {
  AddServerMethods(
      {{std::move(AMethodAlias), Text(AClassName), Text(AMethodName), std::move(ARoles)}});
}

void TDSServerMethodProvider::AddServerMethods(const std::vector<TDSServerMethodEntry>& AMethods) {
  Change([&](TTables& ATables) {
    for (const TDSServerMethodEntry& entry : AMethods) AddMethodTo(ATables, entry);
    return true;
  });
}

bool TDSServerMethodProvider::DropServerMethod(TextView AMethodAlias) {
  return Change([&](TTables& ATables) { return DropMethodFrom(ATables, AMethodAlias); });
}

void TDSServerMethodProvider::DropServerMethods(const std::vector<Text>& AMethodAliases) {
  Change([&](TTables& ATables) {
    for (const Text& alias : AMethodAliases) {
      if (!DropMethodFrom(ATables, alias)) {
        throw TDBXError(server_method_messages::kMethodNotFoundCode,
                        Fill(server_method_messages::kMethodNotFound, {alias}));
      }
    }
    return true;
  });
}
