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

// The alias uses the last part of a dotted class name.
TextView ShortClassName(TextView AClassName) {
  const std::size_t dot = AClassName.rfind(u'.');
  return dot == TextView::npos ? AClassName : AClassName.substr(dot + 1);
}

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

Text UpperCaseName(TextView AName) {
  Text upper(AName);
  for (char16_t& c : upper) c = Upper(c);
  return upper;
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
      FBuiltInClassLoader(ABuiltInClassLoader ? std::move(ABuiltInClassLoader)
                                              : TDSBuiltInClassLoader(BuiltInClass)),
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
  std::vector<TDSMethod> candidates;
  const auto collect = [&candidates](const TDSClassDescription* AClass, bool AOnAdaptee) {
    for (; AClass; AClass = AClass->Parent)
      for (const TDSMethodDescription& method : AClass->Methods)
        candidates.push_back({&method, AClass, AOnAdaptee});
  };
  if (dsClass.IsAdapted) collect(dsClass.Adaptee, true);
  collect(dsClass.Description, false);

  const TextView className = ShortClassName(AClassInfo->ClassName);
  for (const TDSMethod& candidate : candidates) {
    if (!IsCandidate(*candidate.Description)) continue;
    auto info = std::make_shared<TDSMethodInfo>();
    info->MethodName = candidate.MethodName();
    info->MethodAlias = Text(className) + u'.' + info->MethodName;
    info->SearchName = UpperCaseName(info->MethodAlias);
    info->ClassInfo = AClassInfo;
    info->Method = candidate;
    info->AuthorizedRoles = candidate.Description->Roles.empty() ? dsClass.Presented().Roles
                                                                 : candidate.Description->Roles;
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

  if (const TDSSessionPtr session = TDSSessionManager::GetThreadSession()) {
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

void TDSServerMethodProvider::AddServerClass(const TDSClassDescription& AClass, Text ALifeCycle,
                                             Text ARoleName, Text APackageName) {
  std::lock_guard lock(FWriteLock);
  auto tables = std::make_shared<TTables>(*Snapshot());
  auto info = std::make_shared<TDSClassInfo>();
  info->PackageName = std::move(APackageName);
  info->ClassName = AClass.ClassName;
  info->UnitName = AClass.UnitName;
  info->LifeCycle = std::move(ALifeCycle);
  info->RoleName = std::move(ARoleName);
  info->DSClass = AClass.DescendsFromProviderDataModule
                      ? TDSClass{&ProviderDataModuleAdapterClass(), &AClass, true}
                      : TDSClass{&AClass, nullptr, false};
  RegisterClass(*tables, std::move(info));
  Publish(std::move(tables));
}

bool TDSServerMethodProvider::DropServerClass(TextView AClassName) {
  std::lock_guard lock(FWriteLock);
  const TTablesPtr current = Snapshot();
  const auto found = current->ClassTable.find(AClassName);
  if (found == current->ClassTable.end()) return false;
  const TDSClassInfoPtr info = found->second;
  if (info->RegisteredAtStart) CannotDrop(info->ClassName);
  for (const TDSMethodInfoPtr& method : current->MethodList)
    if (method->ClassInfo == info && method->RegisteredAtStart) CannotDrop(method->MethodAlias);

  auto tables = std::make_shared<TTables>(*current);
  tables->ClassTable.erase(info->ClassName);
  std::erase(tables->ClassList, info);
  std::erase_if(tables->MethodList, [&](const TDSMethodInfoPtr& method) {
    if (method->ClassInfo != info) return false;
    tables->MethodTable.erase(method->SearchName);
    return true;
  });
  Publish(std::move(tables));
  return true;
}

void TDSServerMethodProvider::AddServerMethod(Text AMethodAlias, TextView AClassName,
                                              TextView AMethodName, std::vector<Text> ARoles) {
  std::lock_guard lock(FWriteLock);
  const TTablesPtr current = Snapshot();
  const auto found = current->ClassTable.find(AClassName);
  TDSMethod method;
  if (found != current->ClassTable.end()) {
    const TDSClass& dsClass = found->second->DSClass;
    const auto search = [&](const TDSClassDescription* AClass, bool AOnAdaptee) {
      for (; AClass && !method.Description; AClass = AClass->Parent)
        for (const TDSMethodDescription& candidate : AClass->Methods)
          if (candidate.Name == AMethodName) {
            method = {&candidate, AClass, AOnAdaptee};
            break;
          }
    };
    if (dsClass.IsAdapted) search(dsClass.Adaptee, true);
    search(dsClass.Description, false);
  }
  if (!method.Description) {
    throw TDBXError(server_method_messages::kMethodNotFoundCode,
                    Fill(server_method_messages::kNoSuchMethodInClass, {AMethodName, AClassName}));
  }
  auto info = std::make_shared<TDSMethodInfo>();
  info->MethodAlias = std::move(AMethodAlias);
  info->SearchName = UpperCaseName(info->MethodAlias);
  info->MethodName = Text(AMethodName);
  info->ClassInfo = found->second;
  info->Method = method;
  info->AuthorizedRoles = std::move(ARoles);
  auto tables = std::make_shared<TTables>(*current);
  RegisterMethod(*tables, std::move(info));
  Publish(std::move(tables));
}

bool TDSServerMethodProvider::DropServerMethod(TextView AMethodAlias) {
  std::lock_guard lock(FWriteLock);
  const TTablesPtr current = Snapshot();
  const auto found = current->MethodTable.find(AMethodAlias);
  if (found == current->MethodTable.end()) return false;
  const TDSMethodInfoPtr info = found->second;
  if (info->RegisteredAtStart) CannotDrop(info->MethodAlias);
  auto tables = std::make_shared<TTables>(*current);
  tables->MethodTable.erase(info->SearchName);
  std::erase(tables->MethodList, info);
  Publish(std::move(tables));
  return true;
}
