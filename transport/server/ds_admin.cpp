#include "transport/server/ds_admin.h"

#include <algorithm>
#include <string>

#include "transport/dbx_error.h"
#include "transport/server/method_provider.h"
#include "transport/server/name_pattern.h"
#include "transport/server/provider_adapter.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"
#include "transport/server/server_method_messages.h"
#include "transport/server/type_mapping.h"
#include "transport/stream/json_string.h"

namespace {

using server_method_messages::Fill;

// ---- Columns and rows ----------------------------------------------------------------------
//
// Conventions of every table below: a text column is type 26 with size 256 (names, aliases,
// roles, type names), a number column type 6, a truth value type 4; a column that may hold
// null, standing for "not applicable", is flagged nullable. Precision, scale and direction stay
// 0. The data-source row of GetDatabase keeps the sizes it is known by.

constexpr int kNameSize = 256;

TDBXColumn TextColumn(Text AName, int ASize = kNameSize, int AFlags = 0) {
  TDBXColumn column;
  column.Name = std::move(AName);
  column.DataType = dtWideString;
  column.Size = ASize;
  column.Flags = AFlags;
  return column;
}

TDBXColumn NullableTextColumn(Text AName) {
  return TextColumn(std::move(AName), kNameSize, vtfNullable);
}

TDBXColumn NumberColumn(Text AName, int AFlags = 0) {
  TDBXColumn column;
  column.Name = std::move(AName);
  column.DataType = dtInt32;
  column.Flags = AFlags;
  return column;
}

TDBXColumn BooleanColumn(Text AName) {
  TDBXColumn column;
  column.Name = std::move(AName);
  column.DataType = dtBoolean;
  return column;
}

std::shared_ptr<TDBXTable> NewTable(std::vector<TDBXColumn> AColumns) {
  auto table = std::make_shared<TDBXTable>();
  table->Columns = std::move(AColumns);
  return table;
}

TDBXValue Number(std::int64_t AValue) { return AValue; }
template <class T>
TDBXValue OrNull(const std::optional<T>& AValue) {
  return AValue ? TDBXValue(*AValue) : TDBXValue();
}

// Roles travel in one text, separated by commas.
Text JoinRoles(const std::vector<Text>& ARoles) {
  Text joined;
  for (const Text& role : ARoles) {
    if (!joined.empty()) joined += u',';
    joined += role;
  }
  return joined;
}

std::vector<Text> SplitRoles(TextView ARoles) {
  std::vector<Text> roles;
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!ARoles.empty()) {
    const std::size_t comma = std::min(ARoles.find(u','), ARoles.size());
    TextView role = ARoles.substr(0, comma);
    while (!role.empty() && blank(role.front())) role.remove_prefix(1);
    while (!role.empty() && blank(role.back())) role.remove_suffix(1);
    if (!role.empty()) roles.emplace_back(role);
    ARoles.remove_prefix(std::min(comma + 1, ARoles.size()));
  }
  return roles;
}

Text RowNumber(std::size_t ARow) { return text::FromAscii(std::to_string(ARow + 1)); }

// The text cells of a table a client sent, looked up by column name without regard to ASCII
// case. A missing optional column and a null cell read as an empty text; anything else than a
// text is refused with the row and column named.
class TReceivedTable {
 public:
  explicit TReceivedTable(const TDBXTable& ATable) : FTable(ATable) {}

  std::size_t RowCount() const { return FTable.Rows.size(); }

  std::optional<std::size_t> Column(TextView AName) const {
    for (std::size_t i = 0; i < FTable.Columns.size(); ++i)
      if (text::SameTextAscii(FTable.Columns[i].Name, AName)) return i;
    return std::nullopt;
  }
  std::size_t RequiredColumn(TextView AName) const {
    if (const auto column = Column(AName)) return *column;
    throw TDBXError(server_method_messages::kGeneralErrorCode,
                    Fill(server_method_messages::kMissingColumn, {AName}));
  }

  Text TextAt(std::size_t ARow, std::optional<std::size_t> AColumn) const {
    if (!AColumn) return {};
    const std::vector<TDBXValue>& row = FTable.Rows[ARow];
    if (*AColumn >= row.size() || IsNull(row[*AColumn])) return {};
    if (const auto* value = std::get_if<Text>(&row[*AColumn])) return *value;
    throw TDBXError(
        server_method_messages::kGeneralErrorCode,
        Fill(server_method_messages::kNotAText, {RowNumber(ARow), FTable.Columns[*AColumn].Name}));
  }

 private:
  const TDBXTable& FTable;
};

// ---- Classes and methods -------------------------------------------------------------------

// The class table: FindClasses, GetServerClasses, and the rows CreateServerClasses and
// DropServerClasses read, so that a client can hand one answer back as the other's argument.
std::shared_ptr<TDBXTable> ClassTable() {
  return NewTable({TextColumn(u"PackageName"), TextColumn(u"ClassName"), TextColumn(u"RoleName"),
                   TextColumn(u"LifeCycle")});
}

// The method table: FindMethods, GetServerMethods and the rows of CreateServerMethods and
// DropServerMethods. RoleName holds the roles allowed to call the method, comma-separated.
std::shared_ptr<TDBXTable> MethodTable() {
  return NewTable({TextColumn(u"MethodAlias"), TextColumn(u"ServerClassName"),
                   TextColumn(u"MethodName"), TextColumn(u"RoleName")});
}

// A class the registry knows, with what it is registered under, or would be by default.
struct TKnownClass {
  const TDSClassDescription* Description = nullptr;
  TDSClassInfoPtr Registered;  // null when not registered now

  const Text& Name() const { return Description->ClassName; }
  Text PackageName() const { return Registered ? Registered->PackageName : Text(); }
  Text RoleName() const { return Registered ? Registered->RoleName : Text(); }
  Text LifeCycle() const { return Registered ? Registered->LifeCycle : Text(kDefaultLifeCycle); }
  TDSClass Reflection() const {
    return Registered ? Registered->DSClass : ReflectionOf(*Description);
  }
};

std::vector<TKnownClass> KnownClasses(const TDSServerMethodProvider& AProvider,
                                      const Text& APackageName, const Text& AClassPattern) {
  std::vector<TKnownClass> known;
  for (const TDSClassDescription* description : AProvider.KnownClasses()) {
    TKnownClass entry{description, AProvider.FindClass(description->ClassName)};
    // A class registered under its name but from another description is a different class.
    if (entry.Registered && &entry.Registered->DSClass.Presented() != description)
      entry.Registered = nullptr;
    if (MatchesNamePattern(APackageName, entry.PackageName()) &&
        MatchesNamePattern(AClassPattern, entry.Name()))
      known.push_back(std::move(entry));
  }
  return known;
}

// One parameter of a method as the describing methods present it. The return value is the
// last, named "ReturnParameter"; for a method that returns nothing it has no type (null).
struct TParameterShape {
  Text Name;
  std::optional<Text> TypeName;
  std::optional<Text> TypeUnit;
  Text Passing;                         // "Value", "Reference", "Out" or "Result"
  std::optional<std::int64_t> DBXType;  // none for a type without a code
  int Direction = pdUnknown;
};

const char16_t* PassingName(TDSParameterPassing APassing) {
  switch (APassing) {
    case TDSParameterPassing::Reference:
      return u"Reference";
    case TDSParameterPassing::Out:
      return u"Out";
    case TDSParameterPassing::Value:
      break;
  }
  return u"Value";
}

std::optional<std::int64_t> CodeOf(const TDSTypeDescription& AType, TDSParameterPassing APassing) {
  const std::optional<int> code = type_mapping::TypeCodeOf(AType, APassing);
  return code ? std::optional<std::int64_t>(*code) : std::nullopt;
}

std::vector<TParameterShape> ParameterShapes(const TDSMethod& AMethod, bool AAlwaysReturnRow) {
  std::vector<TParameterShape> shapes;
  for (const TDSParameterDescription& parameter : AMethod.Description->Parameters) {
    shapes.push_back({parameter.Name, parameter.Type.Name, parameter.Type.UnitName,
                      PassingName(parameter.Passing), CodeOf(parameter.Type, parameter.Passing),
                      ParameterDirectionOf(parameter)});
  }
  const std::optional<TDSTypeDescription>& result = AMethod.Description->ReturnType;
  if (result) {
    shapes.push_back({u"ReturnParameter", result->Name, result->UnitName, u"Result",
                      CodeOf(*result, TDSParameterPassing::Value), pdReturn});
  } else if (AAlwaysReturnRow) {
    shapes.push_back({u"ReturnParameter", {}, {}, u"Result", {}, pdReturn});
  }
  return shapes;
}

// ---- JSON ----------------------------------------------------------------------------------

void AppendNameArray(std::string& AOut, const std::vector<Text>& ANames) {
  AOut += '[';
  for (std::size_t i = 0; i < ANames.size(); ++i) {
    if (i) AOut += ',';
    AppendJsonString(AOut, ANames[i]);
  }
  AOut += ']';
}

// Writes one JSON object member by member, with the commas between them; End closes it.
class TJsonObject {
 public:
  explicit TJsonObject(std::string& AOut) : FOut(AOut) { FOut += '{'; }
  void End() { FOut += '}'; }

  // Starts a member; its value is written next into what it returns.
  std::string& Member(TextView AName) {
    if (FMembers++) FOut += ',';
    AppendJsonString(FOut, AName);
    FOut += ':';
    return FOut;
  }
  void String(TextView AName, TextView AValue) { AppendJsonString(Member(AName), AValue); }
  void StringOrNull(TextView AName, const std::optional<Text>& AValue) {
    if (AValue)
      String(AName, *AValue);
    else
      Member(AName) += "null";
  }
  void Number(TextView AName, std::optional<std::int64_t> AValue) {
    Member(AName) += AValue ? std::to_string(*AValue) : "null";
  }

 private:
  std::string& FOut;
  int FMembers = 0;
};

std::vector<Text> MethodNamesOf(const TDSServerMethodProvider& AProvider,
                                const TDSClassInfoPtr& AClass) {
  std::vector<Text> names;
  if (!AClass) return names;
  for (const TDSMethodInfoPtr& method : AProvider.Methods())
    if (method->ClassInfo == AClass) names.push_back(method->MethodName);
  return names;
}

// ---- The class descriptions ----------------------------------------------------------------

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

// Argument forms (server_method.h): a text is never null, a table may be.
const Text& TextArg(const std::vector<TDBXValue>& AArgs, std::size_t AIndex) {
  return std::get<Text>(AArgs[AIndex]);
}
TDBXTablePtr TableArg(const std::vector<TDBXValue>& AArgs, std::size_t AIndex) {
  const auto* table = std::get_if<TDBXTablePtr>(&AArgs[AIndex]);
  return table ? *table : nullptr;
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

// Adds a method to a description; the thunk receives the instance as TClass.
template <class TClass>
class TMethodAdder {
 public:
  explicit TMethodAdder(TDSClassDescription& AClass) : FClass(AClass) {}
  template <class TCall>
  void operator()(Text AName, std::vector<TDSParameterDescription> AParameters,
                  std::optional<TDSTypeDescription> AResult, TCall ACall) {
    TDSMethodDescription& added = FClass.Methods.emplace_back();
    added.Name = std::move(AName);
    added.Parameters = std::move(AParameters);
    added.ReturnType = std::move(AResult);
    added.Call = [call = std::move(ACall)](void* AInstance,
                                           std::vector<TDBXValue>& AArgs) -> TDBXValue {
      return call(Self<TClass>(AInstance), AArgs);
    };
  }

 private:
  TDSClassDescription& FClass;
};

using TArgs = std::vector<TDBXValue>;

TDSClassDescription MakeDSAdmin() {
  TDSClassDescription c = BuiltIn<TDSAdmin>(u"DSAdmin");
  TMethodAdder<TDSAdmin> method(c);
  method(u"GetPlatformName", {}, String(),
         [](TDSAdmin&, TArgs&) -> TDBXValue { return TDSAdmin::GetPlatformName(); });
  method(u"ClearResources", {}, Boolean(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.ClearResources(); });
  method(u"FindPackages", {}, Table(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.FindPackages(); });
  method(u"FindClasses", {In(u"PackageName", String()), In(u"ClassPattern", String())}, Table(),
         [](TDSAdmin& self, TArgs& a) -> TDBXValue {
           return self.FindClasses(TextArg(a, 0), TextArg(a, 1));
         });
  method(
      u"FindMethods",
      {In(u"PackageName", String()), In(u"ClassPattern", String()), In(u"MethodPattern", String())},
      Table(), [](TDSAdmin& self, TArgs& a) -> TDBXValue {
        return self.FindMethods(TextArg(a, 0), TextArg(a, 1), TextArg(a, 2));
      });
  // The four registry changes take one table and return nothing.
  const auto change = [&method](Text AName, Text AParameter,
                                void (TDSAdmin::*AChange)(const TDBXTablePtr&)) {
    method(std::move(AName), {In(std::move(AParameter), Table())}, std::nullopt,
           [AChange](TDSAdmin& self, TArgs& a) -> TDBXValue {
             (self.*AChange)(TableArg(a, 0));
             return {};
           });
  };
  change(u"CreateServerClasses", u"ClassReader", &TDSAdmin::CreateServerClasses);
  change(u"DropServerClasses", u"ClassReader", &TDSAdmin::DropServerClasses);
  change(u"CreateServerMethods", u"MethodReader", &TDSAdmin::CreateServerMethods);
  change(u"DropServerMethods", u"MethodReader", &TDSAdmin::DropServerMethods);
  method(u"GetServerClasses", {}, Table(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.GetServerClasses(); });
  method(u"ListClasses", {}, JsonArray(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.ListClasses(); });
  method(u"DescribeClass", {In(u"ClassName", String())}, JsonObject(),
         [](TDSAdmin& self, TArgs& a) -> TDBXValue { return self.DescribeClass(TextArg(a, 0)); });
  method(u"ListMethods", {In(u"ClassName", String())}, JsonArray(),
         [](TDSAdmin& self, TArgs& a) -> TDBXValue { return self.ListMethods(TextArg(a, 0)); });
  method(u"DescribeMethod", {In(u"ServerMethodName", String())}, JsonObject(),
         [](TDSAdmin& self, TArgs& a) -> TDBXValue { return self.DescribeMethod(TextArg(a, 0)); });
  method(u"GetServerMethods", {}, Table(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.GetServerMethods(); });
  method(u"GetServerMethodParameters", {}, Table(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.GetServerMethodParameters(); });
  method(u"GetConnection", {In(u"NewConName", String())}, Connection(),
         [](TDSAdmin& self, TArgs& a) -> TDBXValue { self.GetConnection(TextArg(a, 0)); });
  method(u"GetDatabaseConnectionProperties", {}, Table(), [](TDSAdmin&, TArgs&) -> TDBXValue {
    return TDSAdmin::GetDatabaseConnectionProperties();
  });
  method(u"GetDSServerName", {}, String(),
         [](TDSAdmin& self, TArgs&) -> TDBXValue { return self.GetDSServerName(); });
  return c;
}

TDSClassDescription MakeDSMetadata() {
  TDSClassDescription c = BuiltIn<TDSMetadata>(u"DSMetadata");
  TMethodAdder<TDSMetadata> method(c);
  method(u"GetProcedures", {In(u"ProcedureNamePattern", String()), In(u"ProcedureType", String())},
         Table(), [](TDSMetadata& self, TArgs& a) -> TDBXValue {
           return self.GetProcedures(TextArg(a, 0), TextArg(a, 1));
         });
  method(u"GetProcedureParameters", {In(u"ProcedureNamePattern", String())}, Table(),
         [](TDSMetadata& self, TArgs& a) -> TDBXValue {
           return self.GetProcedureParameters(TextArg(a, 0));
         });
  method(u"GetDatabase", {}, Table(),
         [](TDSMetadata&, TArgs&) -> TDBXValue { return TDSMetadata::GetDatabase(); });
  method(u"GetDSServerName", {}, String(),
         [](TDSMetadata& self, TArgs&) -> TDBXValue { return self.GetDSServerName(); });
  return c;
}

}  // namespace

// ---- Both classes --------------------------------------------------------------------------

Text TDSBuiltInClassInstance::GetDSServerName() const {
  const auto* server = dynamic_cast<const TDSServer*>(FServer);
  return server ? server->Name() : Text();
}

TDSServerMethodProvider& TDSBuiltInClassInstance::Provider() const {
  TDSServerMethodProvider* provider = FServer ? FServer->ServerMethodProvider() : nullptr;
  if (!provider) {
    throw TDBXError(server_method_messages::kGeneralErrorCode,
                    server_method_messages::kServerNotStarted);
  }
  return *provider;
}

// ---- DSAdmin -------------------------------------------------------------------------------

bool TDSAdmin::ClearResources() { return Connection() ? Connection()->ClearResources() : true; }

// One column "PackageName"; a row per package: first the server's one empty-named package,
// then the packages of classes added at run time, as first registered.
TDBXTablePtr TDSAdmin::FindPackages() const {
  auto table = NewTable({TextColumn(u"PackageName")});
  std::vector<Text> packages{Text()};
  for (const TDSClassInfoPtr& info : Provider().Classes())
    if (std::find(packages.begin(), packages.end(), info->PackageName) == packages.end())
      packages.push_back(info->PackageName);
  for (Text& package : packages) table->Rows.push_back({std::move(package)});
  return table;
}

// The class table of every class the registry knows whose package and name match: a class
// registered now shows its registration, one registered no more the defaults it would be added
// with (empty package and role, lifecycle "Session").
TDBXTablePtr TDSAdmin::FindClasses(const Text& APackageName, const Text& AClassPattern) const {
  auto table = ClassTable();
  for (const TKnownClass& known : KnownClasses(Provider(), APackageName, AClassPattern))
    table->Rows.push_back({known.PackageName(), known.Name(), known.RoleName(), known.LifeCycle()});
  return table;
}

// The method table of the methods the known classes offer (those registration takes), whose
// names match AMethodPattern, under the aliases registration gives them.
TDBXTablePtr TDSAdmin::FindMethods(const Text& APackageName, const Text& AClassPattern,
                                   const Text& AMethodPattern) const {
  auto table = MethodTable();
  for (const TKnownClass& known : KnownClasses(Provider(), APackageName, AClassPattern)) {
    const TDSClass reflection = known.Reflection();
    for (const TDSMethod& method : RegistrableMethods(reflection)) {
      if (!MatchesNamePattern(AMethodPattern, method.MethodName())) continue;
      const std::vector<Text>& roles = method.Description->Roles.empty()
                                           ? reflection.Presented().Roles
                                           : method.Description->Roles;
      table->Rows.push_back({MethodAliasOf(known.Name(), method.MethodName()), known.Name(),
                             method.MethodName(), JoinRoles(roles)});
    }
  }
  return table;
}

// Rows of a class table: "ClassName" (required; a class the registry knows), "LifeCycle" (empty:
// "Session"; otherwise one the registry can serve), "RoleName", "PackageName".
void TDSAdmin::CreateServerClasses(const TDBXTablePtr& AClassReader) {
  if (!AClassReader) return;
  TDSServerMethodProvider& provider = Provider();
  const TReceivedTable rows(*AClassReader);
  const std::size_t nameColumn = rows.RequiredColumn(u"ClassName");
  const auto lifeCycleColumn = rows.Column(u"LifeCycle");
  const auto roleColumn = rows.Column(u"RoleName");
  const auto packageColumn = rows.Column(u"PackageName");
  const std::vector<const TDSClassDescription*> known = provider.KnownClasses();

  std::vector<TDSServerClassEntry> entries;
  for (std::size_t row = 0; row < rows.RowCount(); ++row) {
    const Text name = rows.TextAt(row, nameColumn);
    if (name.empty()) {
      throw TDBXError(server_method_messages::kGeneralErrorCode,
                      Fill(server_method_messages::kRowNamesNoClass, {RowNumber(row)}));
    }
    const auto description =
        std::find_if(known.begin(), known.end(),
                     [&](const TDSClassDescription* AClass) { return AClass->ClassName == name; });
    if (description == known.end()) {
      throw TDBXError(server_method_messages::kGeneralErrorCode,
                      Fill(server_method_messages::kClassNotKnown, {name}));
    }
    Text lifeCycle = rows.TextAt(row, lifeCycleColumn);
    if (lifeCycle.empty()) lifeCycle = Text(kDefaultLifeCycle);
    // Refused now rather than at every call of the class's methods.
    if (lifeCycle != kServerLifeCycle && lifeCycle != kSessionLifeCycle &&
        lifeCycle != kInvocationLifeCycle) {
      throw TDBXError(server_method_messages::kUnknownLifeCycleCode,
                      Text(server_method_messages::kUnknownLifeCycle) + lifeCycle);
    }
    entries.push_back({*description, std::move(lifeCycle), rows.TextAt(row, roleColumn),
                       rows.TextAt(row, packageColumn)});
  }
  provider.AddServerClasses(entries);
}

// Rows of a class table; only "ClassName" is read. A class not registered is refused.
void TDSAdmin::DropServerClasses(const TDBXTablePtr& AClassReader) {
  if (!AClassReader) return;
  const TReceivedTable rows(*AClassReader);
  const std::size_t nameColumn = rows.RequiredColumn(u"ClassName");
  std::vector<Text> names;
  for (std::size_t row = 0; row < rows.RowCount(); ++row)
    names.push_back(rows.TextAt(row, nameColumn));
  Provider().DropServerClasses(names);
}

namespace {

// The alias a row of a method table names: "MethodAlias", or when empty the class name (its
// last dotted part), a point and the method name, as registration forms aliases.
Text AliasOfRow(const TReceivedTable& ARows, std::size_t ARow, std::optional<std::size_t> AAlias,
                const Text& AClassName, const Text& AMethodName) {
  Text alias = ARows.TextAt(ARow, AAlias);
  if (alias.empty() && !AClassName.empty() && !AMethodName.empty())
    alias = MethodAliasOf(AClassName, AMethodName);
  if (alias.empty()) {
    throw TDBXError(server_method_messages::kGeneralErrorCode,
                    Fill(server_method_messages::kRowNamesNoMethod, {RowNumber(ARow)}));
  }
  return alias;
}

}  // namespace

// Rows of a method table: "ServerClassName" and "MethodName" (required: a method of a registered
// class), "MethodAlias" (empty: formed as registration forms it), "RoleName" (comma-separated).
void TDSAdmin::CreateServerMethods(const TDBXTablePtr& AMethodReader) {
  if (!AMethodReader) return;
  const TReceivedTable rows(*AMethodReader);
  const std::size_t classColumn = rows.RequiredColumn(u"ServerClassName");
  const std::size_t methodColumn = rows.RequiredColumn(u"MethodName");
  const auto aliasColumn = rows.Column(u"MethodAlias");
  const auto roleColumn = rows.Column(u"RoleName");
  std::vector<TDSServerMethodEntry> entries;
  for (std::size_t row = 0; row < rows.RowCount(); ++row) {
    TDSServerMethodEntry entry;
    entry.ClassName = rows.TextAt(row, classColumn);
    entry.MethodName = rows.TextAt(row, methodColumn);
    entry.MethodAlias = AliasOfRow(rows, row, aliasColumn, entry.ClassName, entry.MethodName);
    entry.Roles = SplitRoles(rows.TextAt(row, roleColumn));
    entries.push_back(std::move(entry));
  }
  Provider().AddServerMethods(entries);
}

// Rows of a method table: "MethodAlias", or when it is absent or empty "ServerClassName" and
// "MethodName". An alias not registered is refused (105).
void TDSAdmin::DropServerMethods(const TDBXTablePtr& AMethodReader) {
  if (!AMethodReader) return;
  const TReceivedTable rows(*AMethodReader);
  const auto aliasColumn = rows.Column(u"MethodAlias");
  const auto classColumn = rows.Column(u"ServerClassName");
  const auto methodColumn = rows.Column(u"MethodName");
  if (!aliasColumn && !(classColumn && methodColumn)) rows.RequiredColumn(u"MethodAlias");
  std::vector<Text> aliases;
  for (std::size_t row = 0; row < rows.RowCount(); ++row) {
    aliases.push_back(AliasOfRow(rows, row, aliasColumn, rows.TextAt(row, classColumn),
                                 rows.TextAt(row, methodColumn)));
  }
  Provider().DropServerMethods(aliases);
}

// The class table, a row per registered class in registration order.
TDBXTablePtr TDSAdmin::GetServerClasses() const {
  auto table = ClassTable();
  for (const TDSClassInfoPtr& info : Provider().Classes())
    table->Rows.push_back({info->PackageName, info->ClassName, info->RoleName, info->LifeCycle});
  return table;
}

// The method table, a row per registered method in registration order.
TDBXTablePtr TDSAdmin::GetServerMethods() const {
  auto table = MethodTable();
  for (const TDSMethodInfoPtr& info : Provider().Methods()) {
    table->Rows.push_back({info->MethodAlias, info->ClassInfo->ClassName, info->MethodName,
                           JoinRoles(info->AuthorizedRoles)});
  }
  return table;
}

// "MethodParametersTable": a row per declared parameter of every registered method in order,
// then its "ReturnParameter" row. ParameterTypeName and ParameterTypeUnit are the declared
// type and its unit; ParameterDirection says how it is declared ("Value", "Reference", "Out",
// or "Result" for the return row); DBXType is the data type code (null for a type without
// one) and DBXParameterDirection the direction of the parameter list (1 in, 2 out, 3 in/out,
// 4 return). A method that returns nothing still has its return row, with the three type
// columns null.
TDBXTablePtr TDSAdmin::GetServerMethodParameters() const {
  auto table = NewTable(
      {TextColumn(u"MethodAlias"), TextColumn(u"ServerClassName"), TextColumn(u"MethodName"),
       TextColumn(u"Name"), NullableTextColumn(u"ParameterTypeName"),
       NullableTextColumn(u"ParameterTypeUnit"), TextColumn(u"ParameterDirection"),
       NumberColumn(u"DBXType", vtfNullable), NumberColumn(u"DBXParameterDirection")});
  for (const TDSMethodInfoPtr& info : Provider().Methods()) {
    for (TParameterShape& shape : ParameterShapes(info->Method, true)) {
      table->Rows.push_back({info->MethodAlias, info->ClassInfo->ClassName, info->MethodName,
                             std::move(shape.Name), OrNull(shape.TypeName), OrNull(shape.TypeUnit),
                             std::move(shape.Passing), OrNull(shape.DBXType),
                             Number(shape.Direction)});
    }
  }
  return table;
}

// ["DSAdmin","DSMetadata",...]: the registered class names in registration order.
TDBXJsonText TDSAdmin::ListClasses() const {
  std::vector<Text> names;
  for (const TDSClassInfoPtr& info : Provider().Classes()) names.push_back(info->ClassName);
  TDBXJsonText json;
  AppendNameArray(json.Bytes, names);
  return json;
}

// {"<class>":{"LifeCycle":"<lifecycle>","methods":[<method names>]}}, the methods as ListMethods
// gives them; {"<class>":null} for a class not registered. Class names are compared exactly,
// as the registry keeps them.
TDBXJsonText TDSAdmin::DescribeClass(const Text& AClassName) const {
  const TDSServerMethodProvider& provider = Provider();
  const TDSClassInfoPtr info = provider.FindClass(AClassName);
  TDBXJsonText json;
  TJsonObject outer(json.Bytes);
  std::string& value = outer.Member(AClassName);
  if (info) {
    TJsonObject description(value);
    description.String(u"LifeCycle", info->LifeCycle);
    AppendNameArray(description.Member(u"methods"), MethodNamesOf(provider, info));
    description.End();
  } else {
    value += "null";
  }
  outer.End();
  return json;
}

// ["<method name>",...]: the names of the class's registered methods in registration order
// (the class's own, then inherited and adapter methods); [] for a class not registered.
TDBXJsonText TDSAdmin::ListMethods(const Text& AClassName) const {
  const TDSServerMethodProvider& provider = Provider();
  TDBXJsonText json;
  AppendNameArray(json.Bytes, MethodNamesOf(provider, provider.FindClass(AClassName)));
  return json;
}

// {"<alias>":{"ServerClassName":...,"MethodName":...,"RoleName":...,"parameters":[...]}} with
// the alias as registered (looked up in any case), and one object per row that
// GetServerMethodParameters gives the method, under the same names: "Name",
// "ParameterTypeName", "ParameterTypeUnit", "ParameterDirection", "DBXType",
// "DBXParameterDirection". {"<name>":null} for a name that is no alias.
TDBXJsonText TDSAdmin::DescribeMethod(const Text& AServerMethodName) const {
  const TDSMethodInfoPtr info = Provider().FindMethod(AServerMethodName);
  TDBXJsonText json;
  TJsonObject outer(json.Bytes);
  if (!info) {
    outer.Member(AServerMethodName) += "null";
    outer.End();
    return json;
  }
  TJsonObject description(outer.Member(info->MethodAlias));
  description.String(u"ServerClassName", info->ClassInfo->ClassName);
  description.String(u"MethodName", info->MethodName);
  description.String(u"RoleName", JoinRoles(info->AuthorizedRoles));
  std::string& parameters = description.Member(u"parameters");
  parameters += '[';
  bool first = true;
  for (const TParameterShape& shape : ParameterShapes(info->Method, true)) {
    if (!first) parameters += ',';
    first = false;
    TJsonObject parameter(parameters);
    parameter.String(u"Name", shape.Name);
    parameter.StringOrNull(u"ParameterTypeName", shape.TypeName);
    parameter.StringOrNull(u"ParameterTypeUnit", shape.TypeUnit);
    parameter.String(u"ParameterDirection", shape.Passing);
    parameter.Number(u"DBXType", shape.DBXType);
    parameter.Number(u"DBXParameterDirection", shape.Direction);
    parameter.End();
  }
  parameters += ']';
  description.End();
  outer.End();
  return json;
}

void TDSAdmin::GetConnection(const Text& ANewConName) const {
  throw TDBXError(server_method_messages::kGeneralErrorCode,
                  Fill(server_method_messages::kNoDatabase, {ANewConName}));
}

// A row per property of each configured connection: "ConnectionName", "PropertyName",
// "PropertyValue". No connection is configured here, so the table has no rows.
TDBXTablePtr TDSAdmin::GetDatabaseConnectionProperties() {
  return NewTable(
      {TextColumn(u"ConnectionName"), TextColumn(u"PropertyName"), TextColumn(u"PropertyValue")});
}

// ---- DSMetadata ----------------------------------------------------------------------------

namespace {

// The columns the two procedure tables share: registered methods have no catalog and no
// schema, so both are null; the procedure name is the method alias.
std::vector<TDBXColumn> ProcedureColumns() {
  return {NullableTextColumn(u"CatalogName"), NullableTextColumn(u"SchemaName"),
          TextColumn(u"ProcedureName")};
}

// A method that returns a value is a function; one that returns nothing a procedure.
Text ProcedureTypeOf(const TDSMethodInfo& AMethod) {
  return AMethod.Method.Description->ReturnType ? u"FUNCTION" : u"PROCEDURE";
}

const char16_t* ParameterModeOf(int ADirection) {
  switch (ADirection) {
    case pdOut:
      return u"OUT";
    case pdInOut:
      return u"INOUT";
    case pdReturn:
      return u"RESULT";
    default:
      return u"IN";
  }
}

}  // namespace

// A row per registered method, in registration order, whose alias matches
// AProcedureNamePattern and whose type matches AProcedureType: "CatalogName", "SchemaName"
// (null), "ProcedureName" (the alias), "ProcedureType" ("FUNCTION" or "PROCEDURE"). The column
// names are those of the data-source metadata vocabulary, which metadata readers look up.
TDBXTablePtr TDSMetadata::GetProcedures(const Text& AProcedureNamePattern,
                                        const Text& AProcedureType) const {
  std::vector<TDBXColumn> columns = ProcedureColumns();
  columns.push_back(TextColumn(u"ProcedureType"));
  auto table = NewTable(std::move(columns));
  for (const TDSMethodInfoPtr& info : Provider().Methods()) {
    Text type = ProcedureTypeOf(*info);
    if (!MatchesNamePattern(AProcedureNamePattern, info->MethodAlias) ||
        !MatchesNamePattern(AProcedureType, type))
      continue;
    table->Rows.push_back({TDBXValue(), TDBXValue(), info->MethodAlias, std::move(type)});
  }
  return table;
}

// A row per parameter of the matching procedures, as the parameter list of a prepared command
// has them (the return value last, only when there is one): "CatalogName", "SchemaName",
// "ProcedureName", "ParameterName", "ParameterMode" ("IN", "OUT", "INOUT" or "RESULT"),
// "TypeName" (the declared type), "DbxDataType" (the data type code; null for a type without
// one) and "Ordinal" (the parameter's position in the parameter row, from 0).
TDBXTablePtr TDSMetadata::GetProcedureParameters(const Text& AProcedureNamePattern) const {
  std::vector<TDBXColumn> columns = ProcedureColumns();
  for (TDBXColumn& column : std::vector<TDBXColumn>{
           TextColumn(u"ParameterName"), TextColumn(u"ParameterMode"), TextColumn(u"TypeName"),
           NumberColumn(u"DbxDataType", vtfNullable), NumberColumn(u"Ordinal")})
    columns.push_back(std::move(column));
  auto table = NewTable(std::move(columns));
  for (const TDSMethodInfoPtr& info : Provider().Methods()) {
    if (!MatchesNamePattern(AProcedureNamePattern, info->MethodAlias)) continue;
    std::int64_t ordinal = 0;
    for (TParameterShape& shape : ParameterShapes(info->Method, false)) {
      table->Rows.push_back({TDBXValue(), TDBXValue(), info->MethodAlias, std::move(shape.Name),
                             Text(ParameterModeOf(shape.Direction)), std::move(*shape.TypeName),
                             OrNull(shape.DBXType), Number(ordinal++)});
    }
  }
  return table;
}

// The data-source row clients read right after connecting; names, types, sizes and values are
// fixed. The 16th and 17th columns carry the 15th's name as deployed servers send it, so a
// reader that looks the name up finds the 15th.
TDBXTablePtr TDSMetadata::GetDatabase() {
  const Text quote = u"\"";
  auto table = NewTable({
      TextColumn(u"QuoteChar", 16),
      TextColumn(u"ProcedureQuoteChar", 16),
      NumberColumn(u"MaxCommands"),
      BooleanColumn(u"SupportsTransactions"),
      BooleanColumn(u"SupportsNestedTransactions"),
      BooleanColumn(u"SupportsRowSetSize"),
      TextColumn(u"ProductVersion", 128),
      TextColumn(u"ProductName", 128),
      TextColumn(u"QuotePrefix", 16),
      TextColumn(u"QuoteSuffix", 16),
      BooleanColumn(u"SupportsLowerCaseIdentifiers"),
      BooleanColumn(u"SupportsUpperCaseIdentifiers"),
      BooleanColumn(u"SupportsSPReturnCode"),
      BooleanColumn(u"SupportsParameterMetadata"),
      BooleanColumn(u"SupportsCatalogFunctions"),
      BooleanColumn(u"SupportsCatalogFunctions"),
      BooleanColumn(u"SupportsCatalogFunctions"),
  });
  table->Rows.push_back({quote, quote, Number(2147483647), false, false, false, Text(u"2008"),
                         Text(u"DataSnap"), quote, quote, false, false, false, false, false, false,
                         false});
  return table;
}

// ---- Descriptions --------------------------------------------------------------------------

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
