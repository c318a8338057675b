#include "transport/server/ds_admin.h"

#include <gtest/gtest.h>

#include "tests/support/error_of.h"
#include "tests/transport/server/probe_class.h"
#include "transport/server/name_pattern.h"

namespace {

using namespace probe;

// A started server with the probe class, and one connection whose built-in methods are
// prepared by name and invoked through the registry, as the command level does.
class DSAdminTest : public testing::Test {
 protected:
  void SetUp() override { FServer.Server.Start(); }
  TDSServerMethodProvider& Provider() { return FServer.Provider(); }

  // The in parameters take AArgs in order (a table also goes with the request as a received
  // table); gives the return value, or null for a method that returns nothing.
  TDBXValue Call(TextView AAlias, const std::vector<TDBXValue>& AArgs = {}) {
    const auto method = FServer.Prepare(FConnection, AAlias);
    std::vector<TDBXTablePtr> received;
    for (std::size_t i = 0; i < AArgs.size(); ++i) {
      if (const auto* table = std::get_if<TDBXTablePtr>(&AArgs[i])) received.push_back(*table);
      method->Parameters()[i].Value = AArgs[i];
    }
    method->Invoke(received);
    const TDBXParameterList& parameters = method->Parameters();
    if (parameters.empty() || parameters.back().Direction != pdReturn) return {};
    return parameters.back().Value;
  }
  TDBXTablePtr TableOf(TextView AAlias, const std::vector<TDBXValue>& AArgs = {}) {
    TDBXValue value = Call(AAlias, AArgs);
    EXPECT_TRUE(std::holds_alternative<TDBXTablePtr>(value));
    auto* table = std::get_if<TDBXTablePtr>(&value);
    return table && *table ? *table : std::make_shared<const TDBXTable>();
  }
  std::string JsonOf(TextView AAlias, const std::vector<TDBXValue>& AArgs = {}) {
    TDBXValue value = Call(AAlias, AArgs);
    EXPECT_TRUE(std::holds_alternative<TDBXJsonText>(value));
    auto* json = std::get_if<TDBXJsonText>(&value);
    return json ? json->Bytes : std::string();
  }
  std::vector<Text> MethodAliases() { return Column(*TableOf(u"DSAdmin.GetServerMethods"), 0); }

  // The cells of one column, texts as they are, null as "(null)", numbers in decimal.
  static std::vector<Text> Column(const TDBXTable& ATable, std::size_t AColumn) {
    std::vector<Text> cells;
    for (const auto& row : ATable.Rows) cells.push_back(Cell(row.at(AColumn)));
    return cells;
  }
  static Text Cell(const TDBXValue& AValue) {
    if (IsNull(AValue)) return u"(null)";
    if (const auto* t = std::get_if<Text>(&AValue)) return *t;
    if (const auto* i = std::get_if<std::int64_t>(&AValue))
      return text::FromAscii(std::to_string(*i));
    if (const auto* b = std::get_if<bool>(&AValue)) return *b ? u"true" : u"false";
    return u"(other)";
  }
  static std::vector<std::vector<Text>> Rows(const TDBXTable& ATable) {
    std::vector<std::vector<Text>> rows;
    for (const auto& row : ATable.Rows) {
      EXPECT_EQ(row.size(), ATable.Columns.size());
      std::vector<Text> cells;
      for (const auto& value : row) cells.push_back(Cell(value));
      rows.push_back(std::move(cells));
    }
    return rows;
  }
  struct TColumnShape {
    Text Name;
    int DataType;
    int Size;
    int Flags;
    friend bool operator==(const TColumnShape&, const TColumnShape&) = default;
    friend std::ostream& operator<<(std::ostream& AOut, const TColumnShape& AValue) {
      return AOut << text::ToUtf8(AValue.Name) << " " << AValue.DataType << "/" << AValue.Size
                  << " flags " << AValue.Flags;
    }
  };
  static std::vector<TColumnShape> Shapes(const TDBXTable& ATable) {
    std::vector<TColumnShape> shapes;
    for (const TDBXColumn& c : ATable.Columns) {
      EXPECT_EQ(c.Precision, 0);
      EXPECT_EQ(c.Scale, 0);
      EXPECT_EQ(c.Direction, 0);
      shapes.push_back({c.Name, c.DataType, c.Size, c.Flags});
    }
    return shapes;
  }
  // A table a client sends: text columns, rows of texts (an empty one stands for null).
  static TDBXTablePtr Sent(std::vector<Text> AColumns, std::vector<std::vector<Text>> ARows) {
    auto table = std::make_shared<TDBXTable>();
    for (Text& name : AColumns) table->Columns.push_back({std::move(name), dtWideString});
    for (auto& row : ARows) {
      std::vector<TDBXValue>& values = table->Rows.emplace_back();
      for (Text& cell : row) values.push_back(cell.empty() ? TDBXValue() : TDBXValue(cell));
    }
    return table;
  }

  TProbeServer FServer;
  TDSServerConnection FConnection{&FServer.Server};
};

// A table a client sends that is refused, with the error it gets.
struct TRefusal {
  const char* name;
  TDBXTablePtr table;
  int code;
  const char* message;
};

const std::vector<std::vector<Text>> kStartClasses = {
    {u"", u"DSAdmin", u"", u"Session"},
    {u"", u"DSMetadata", u"", u"Session"},
    {u"", u"TProbe", u"", u"Session"},
};

TEST_F(DSAdminTest, ServerClassesAndMethodsAreListedInRegistrationOrder) {
  const TDBXTablePtr methods = TableOf(u"DSAdmin.GetServerMethods");
  const std::vector<TColumnShape> kMethodColumns = {{u"MethodAlias", 26, 256, 0},
                                                    {u"ServerClassName", 26, 256, 0},
                                                    {u"MethodName", 26, 256, 0},
                                                    {u"RoleName", 26, 256, 0}};
  EXPECT_EQ(Shapes(*methods), kMethodColumns);
  EXPECT_EQ(Column(*methods, 0), Concat(kBuiltInAliases, ProbeAliases()));
  const auto rows = Rows(*methods);
  EXPECT_EQ(rows.front(),
            (std::vector<Text>{u"DSAdmin.GetPlatformName", u"DSAdmin", u"GetPlatformName", u""}));
  EXPECT_EQ(rows.back(), (std::vector<Text>{u"TProbe.Inherited", u"TProbe", u"Inherited", u""}));

  const TDBXTablePtr classes = TableOf(u"DSAdmin.GetServerClasses");
  EXPECT_EQ(Shapes(*classes), (std::vector<TColumnShape>{{u"PackageName", 26, 256, 0},
                                                         {u"ClassName", 26, 256, 0},
                                                         {u"RoleName", 26, 256, 0},
                                                         {u"LifeCycle", 26, 256, 0}}));
  EXPECT_EQ(Rows(*classes), kStartClasses);
  EXPECT_EQ(JsonOf(u"DSAdmin.ListClasses"), R"(["DSAdmin","DSMetadata","TProbe"])");

  // A class added later comes last, with its package, role and lifecycle.
  TProbeLog log;
  const TDSClassDescription extra = ProbeClass(log, nullptr, u"TExtra");
  Provider().AddServerClass(extra, u"Invocation", u"admin", u"pkg");
  EXPECT_EQ(Rows(*TableOf(u"DSAdmin.GetServerClasses")).back(),
            (std::vector<Text>{u"pkg", u"TExtra", u"admin", u"Invocation"}));
  EXPECT_EQ(Column(*TableOf(u"DSAdmin.FindPackages"), 0), (std::vector<Text>{u"", u"pkg"}));
}

TEST_F(DSAdminTest, GetDatabaseDescribesTheDataSourceInSeventeenColumns) {
  const TDBXTablePtr table = TableOf(u"DSMetadata.GetDatabase");
  const std::vector<TColumnShape> kColumns = {
      {u"QuoteChar", 26, 16, 0},
      {u"ProcedureQuoteChar", 26, 16, 0},
      {u"MaxCommands", 6, 0, 0},
      {u"SupportsTransactions", 4, 0, 0},
      {u"SupportsNestedTransactions", 4, 0, 0},
      {u"SupportsRowSetSize", 4, 0, 0},
      {u"ProductVersion", 26, 128, 0},
      {u"ProductName", 26, 128, 0},
      {u"QuotePrefix", 26, 16, 0},
      {u"QuoteSuffix", 26, 16, 0},
      {u"SupportsLowerCaseIdentifiers", 4, 0, 0},
      {u"SupportsUpperCaseIdentifiers", 4, 0, 0},
      {u"SupportsSPReturnCode", 4, 0, 0},
      {u"SupportsParameterMetadata", 4, 0, 0},
      {u"SupportsCatalogFunctions", 4, 0, 0},
      {u"SupportsCatalogFunctions", 4, 0, 0},
      {u"SupportsCatalogFunctions", 4, 0, 0},
  };
  EXPECT_EQ(Shapes(*table), kColumns);
  ASSERT_EQ(table->Rows.size(), 1u);
  const auto& row = table->Rows[0];
  EXPECT_EQ(row[2], TDBXValue(std::int64_t{2147483647}));
  EXPECT_EQ(row[7], TDBXValue(Text(u"DataSnap")));
  EXPECT_EQ(Rows(*table)[0],
            (std::vector<Text>{u"\"", u"\"", u"2147483647", u"false", u"false", u"false", u"2008",
                               u"DataSnap", u"\"", u"\"", u"false", u"false", u"false", u"false",
                               u"false", u"false", u"false"}));
  for (std::size_t i : {3u, 4u, 5u, 10u, 11u, 12u, 13u, 14u, 15u, 16u})
    EXPECT_EQ(row[i], TDBXValue(false)) << "column " << i + 1;
}

TEST_F(DSAdminTest, DescribesClassesAndMethodsInJson) {
  EXPECT_EQ(JsonOf(u"DSAdmin.DescribeClass", {Text(u"TProbe")}),
            R"({"TProbe":{"LifeCycle":"Session","methods":["Echo","Swap","Fail","Nothing",)"
            R"("Serial","Callback","Table","Inherited"]}})");
  EXPECT_EQ(JsonOf(u"DSAdmin.ListMethods", {Text(u"TProbe")}),
            R"(["Echo","Swap","Fail","Nothing","Serial","Callback","Table","Inherited"])");
  EXPECT_EQ(JsonOf(u"DSAdmin.DescribeClass", {Text(u"DSMetadata")}),
            R"({"DSMetadata":{"LifeCycle":"Session","methods":["GetProcedures",)"
            R"("GetProcedureParameters","GetDatabase","GetDSServerName"]}})");

  // Unknown names: null, under the name as asked, escaped as JSON in pure ASCII.
  struct Case {
    const char16_t* name;
    std::string describeClass, listMethods, describeMethod;
  };
  const Case kUnknown[] = {
      {u"tprobe", R"({"tprobe":null})", "[]", R"({"tprobe":null})"},
      {u"", R"({"":null})", "[]", R"({"":null})"},
      {u"a\"b\\/\u00e9\n", R"({"a\"b\\\/\u00E9\n":null})", "[]", R"({"a\"b\\\/\u00E9\n":null})"},
  };
  for (const Case& c : kUnknown) {
    SCOPED_TRACE(c.describeClass);
    EXPECT_EQ(JsonOf(u"DSAdmin.DescribeClass", {Text(c.name)}), c.describeClass);
    EXPECT_EQ(JsonOf(u"DSAdmin.ListMethods", {Text(c.name)}), c.listMethods);
    EXPECT_EQ(JsonOf(u"DSAdmin.DescribeMethod", {Text(c.name)}), c.describeMethod);
  }

  // A method is looked up in any case and described under its alias as registered.
  EXPECT_EQ(JsonOf(u"DSAdmin.DescribeMethod", {Text(u"tprobe.swap")}),
            R"({"TProbe.Swap":{"ServerClassName":"TProbe","MethodName":"Swap","RoleName":"",)"
            R"("parameters":[)"
            R"({"Name":"AValue","ParameterTypeName":"int","ParameterTypeUnit":"System",)"
            R"("ParameterDirection":"Reference","DBXType":6,"DBXParameterDirection":3},)"
            R"({"Name":"AText","ParameterTypeName":"string","ParameterTypeUnit":"System",)"
            R"("ParameterDirection":"Out","DBXType":26,"DBXParameterDirection":2},)"
            R"({"Name":"ReturnParameter","ParameterTypeName":"bool","ParameterTypeUnit":"System",)"
            R"("ParameterDirection":"Result","DBXType":4,"DBXParameterDirection":4}]}})");
  EXPECT_EQ(JsonOf(u"DSAdmin.DescribeMethod", {Text(u"TProbe.Nothing")}),
            R"({"TProbe.Nothing":{"ServerClassName":"TProbe","MethodName":"Nothing","RoleName":"",)"
            R"("parameters":[{"Name":"ReturnParameter","ParameterTypeName":null,)"
            R"("ParameterTypeUnit":null,"ParameterDirection":"Result","DBXType":null,)"
            R"("DBXParameterDirection":4}]}})");
}

TEST_F(DSAdminTest, MethodParametersHaveOneRowEachPlusTheReturnRow) {
  const TDBXTablePtr table = TableOf(u"DSAdmin.GetServerMethodParameters");
  EXPECT_EQ(Shapes(*table), (std::vector<TColumnShape>{{u"MethodAlias", 26, 256, 0},
                                                       {u"ServerClassName", 26, 256, 0},
                                                       {u"MethodName", 26, 256, 0},
                                                       {u"Name", 26, 256, 0},
                                                       {u"ParameterTypeName", 26, 256, 1},
                                                       {u"ParameterTypeUnit", 26, 256, 1},
                                                       {u"ParameterDirection", 26, 256, 0},
                                                       {u"DBXType", 6, 0, 1},
                                                       {u"DBXParameterDirection", 6, 0, 0}}));
  const auto rowsOf = [&](const Text& AAlias) {
    std::vector<std::vector<Text>> rows;
    for (auto& row : Rows(*table))
      if (row[0] == AAlias) rows.push_back(std::vector<Text>(row.begin() + 1, row.end()));
    return rows;
  };
  using R = std::vector<Text>;
  EXPECT_EQ(
      rowsOf(u"TProbe.Echo"),
      (std::vector<R>{
          {u"TProbe", u"Echo", u"AText", u"string", u"System", u"Value", u"26", u"1"},
          {u"TProbe", u"Echo", u"ANumber", u"int", u"System", u"Value", u"6", u"1"},
          {u"TProbe", u"Echo", u"ReturnParameter", u"string", u"System", u"Result", u"26", u"4"}}));
  EXPECT_EQ(rowsOf(u"TProbe.Nothing"),
            (std::vector<R>{{u"TProbe", u"Nothing", u"ReturnParameter", u"(null)", u"(null)",
                             u"Result", u"(null)", u"4"}}));
  EXPECT_EQ(rowsOf(u"TProbe.Table"),
            (std::vector<R>{{u"TProbe", u"Table", u"ATable", u"TDBXReader", u"Data.DBXCommon",
                             u"Value", u"23", u"1"},
                            {u"TProbe", u"Table", u"ReturnParameter", u"TDBXReader",
                             u"Data.DBXCommon", u"Result", u"23", u"4"}}));
  // Every registered method has exactly one return row, in registration order.
  std::vector<Text> returnRows;
  for (auto& row : Rows(*table))
    if (row[3] == u"ReturnParameter") returnRows.push_back(row[0]);
  EXPECT_EQ(returnRows, MethodAliases());

  // A method added by name with a type that has no code lists it without one.
  Provider().AddServerMethod(u"TProbe.Odd", u"TProbe", u"DroppedUnknownType");
  EXPECT_EQ(Rows(*TableOf(u"DSAdmin.GetServerMethodParameters")).end()[-2],
            (R{u"TProbe.Odd", u"TProbe", u"DroppedUnknownType", u"AThing", u"TPoint", u"System",
               u"Value", u"(null)", u"1"}));
}

TEST_F(DSAdminTest, FindMethodsFiltersKnownClassesByPatterns) {
  struct Case {
    const char16_t* package;
    const char16_t* classPattern;
    const char16_t* methodPattern;
    std::vector<Text> aliases;
  };
  const std::vector<Text> everyProbe = ProbeAliases();
  const Case kCases[] = {
      {u"", u"TProbe", u"", everyProbe},
      {u"", u"tprobe", u"%", everyProbe},
      {u"%", u"T*", u"*", everyProbe},
      {u"", u"TProbe", u"E%", {u"TProbe.Echo"}},
      {u"", u"TPROBE", u"*e?ial", {u"TProbe.Serial"}},
      {u"", u"%", u"Inherit_d", {u"TProbe.Inherited"}},
      {u"",
       u"DS%",
       u"GetDSServerName",
       {u"DSAdmin.GetDSServerName", u"DSMetadata.GetDSServerName"}},
      {u"",
       u"DSMeta%",
       u"%Procedure%",
       {u"DSMetadata.GetProcedures", u"DSMetadata.GetProcedureParameters"}},
      {u"", u"TProbe", u"Dropped%", {}},  // refused by the type filter
      {u"", u"TProbe", u"Create", {}},    // constructors are not methods
      {u"", u"TProbe", u"Ech", {}},       // the whole name must match
      {u"", u"Probe", u"", {}},
      {u"other", u"", u"", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(Text(c.classPattern) + u" " + c.methodPattern));
    const TDBXTablePtr table = TableOf(
        u"DSAdmin.FindMethods", {Text(c.package), Text(c.classPattern), Text(c.methodPattern)});
    EXPECT_EQ(Column(*table, 0), c.aliases);
  }
  EXPECT_EQ(Rows(*TableOf(u"DSAdmin.FindMethods", {Text(), Text(u"TProbe"), Text(u"Swap")})),
            (std::vector<std::vector<Text>>{{u"TProbe.Swap", u"TProbe", u"Swap", u""}}));
  // Null patterns arrive as empty texts and match everything.
  EXPECT_EQ(Column(*TableOf(u"DSAdmin.FindMethods", {TDBXValue(), TDBXValue(), TDBXValue()}), 0),
            Concat(kBuiltInAliases, everyProbe));
}

TEST_F(DSAdminTest, ClassesComeAndGoThroughTablesButStartOnesStay) {
  TProbeLog log;
  const TDSClassDescription extra = ProbeClass(log, nullptr, u"TExtra");
  Provider().AddServerClass(extra, u"Session");
  const auto classes = [&] { return Column(*TableOf(u"DSAdmin.GetServerClasses"), 1); };
  const std::vector<Text> start = {u"DSAdmin", u"DSMetadata", u"TProbe"};

  // Refused rows leave everything as it was, rows before them included.
  const TRefusal kDropRefusals[] = {
      {"start class", Sent({u"ClassName"}, {{u"TExtra"}, {u"TProbe"}}), 0,
       "TProbe was registered at server start and cannot be dropped"},
      {"built-in class", Sent({u"ClassName"}, {{u"TExtra"}, {u"DSAdmin"}}), 0,
       "DSAdmin was registered at server start and cannot be dropped"},
      {"unknown class", Sent({u"ClassName"}, {{u"TExtra"}, {u"TNone"}}), 0,
       "TNone class not found in the server class list"},
      {"no name column", Sent({u"Name"}, {{u"TExtra"}}), 0, "The table has no ClassName column"},
  };
  for (const TRefusal& r : kDropRefusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.DropServerClasses", {r.table}); }).CodeAndUtf8(),
              std::make_pair(r.code, std::string(r.message)));
    EXPECT_EQ(classes(), Concat(start, {u"TExtra"}));
  }

  // Dropped, the class is still known: FindClasses gives its row with the defaults, and that
  // very table brings it back with its methods.
  Call(u"DSAdmin.DropServerClasses", {Sent({u"classname"}, {{u"TExtra"}})});
  EXPECT_EQ(classes(), start);
  EXPECT_FALSE(Provider().HasServerMethod(u"TExtra.Echo"));
  const TDBXTablePtr found = TableOf(u"DSAdmin.FindClasses", {Text(), Text(u"TEx%")});
  EXPECT_EQ(Rows(*found), (std::vector<std::vector<Text>>{{u"", u"TExtra", u"", u"Session"}}));
  Call(u"DSAdmin.CreateServerClasses", {found});
  EXPECT_EQ(classes(), Concat(start, {u"TExtra"}));
  EXPECT_TRUE(Provider().HasServerMethod(u"TExtra.Echo"));

  const TRefusal kCreateRefusals[] = {
      {"registered twice", Sent({u"ClassName"}, {{u"TExtra"}, {u"TExtra"}}), 102,
       "TExtra class has already been added to the server class list"},
      {"unknown class", Sent({u"ClassName"}, {{u"TNone"}}), 0,
       "TNone class is not known to the server"},
      {"empty name", Sent({u"ClassName"}, {{u""}}), 0, "Row 1 of the table names no class"},
      {"unknown lifecycle", Sent({u"ClassName", u"LifeCycle"}, {{u"TExtra", u"session"}}), 0,
       "Unknown LifeCycle:  session"},
  };
  Call(u"DSAdmin.DropServerClasses", {Sent({u"ClassName"}, {{u"TExtra"}})});
  for (const TRefusal& r : kCreateRefusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.CreateServerClasses", {r.table}); }).CodeAndUtf8(),
              std::make_pair(r.code, std::string(r.message)));
    EXPECT_EQ(classes(), start);
  }

  // A cell that is no text is named.
  auto numbers = std::make_shared<TDBXTable>();
  numbers->Columns = {{u"ClassName", dtInt32}};
  numbers->Rows = {{TDBXValue(std::int64_t{7})}};
  EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.CreateServerClasses", {TDBXTablePtr(numbers)}); }).Utf8(),
            "Row 1 of the table holds no text in column ClassName");
  // Lifecycle, role and package are taken from the row.
  Call(u"DSAdmin.CreateServerClasses",
       {Sent({u"PackageName", u"ClassName", u"RoleName", u"LifeCycle"},
             {{u"pkg", u"TExtra", u"admin", u"Server"}})});
  EXPECT_EQ(Rows(*TableOf(u"DSAdmin.GetServerClasses")).back(),
            (std::vector<Text>{u"pkg", u"TExtra", u"admin", u"Server"}));
  // A null table changes nothing.
  Call(u"DSAdmin.DropServerClasses", {TDBXValue()});
  EXPECT_EQ(classes(), Concat(start, {u"TExtra"}));
}

TEST_F(DSAdminTest, MethodsComeAndGoThroughTablesButStartOnesStay) {
  const std::vector<Text> start = MethodAliases();
  const std::vector<Text> kColumns = {u"MethodAlias", u"ServerClassName", u"MethodName",
                                      u"RoleName"};
  const std::vector<Text> again = {u"TProbe.EchoAgain", u"TProbe", u"Echo", u" admin , ops,"};
  const TRefusal kCreateRefusals[] = {
      // An empty alias is formed as registration forms it, and that one exists.
      {"alias twice", Sent(kColumns, {again, {u"", u"TProbe", u"Inherited", u""}}), 103,
       "TProbe.Inherited method has already been added to the server method list"},
      {"no such method", Sent(kColumns, {again, {u"", u"TProbe", u"Nope", u""}}), 105,
       "Nope method not found in class TProbe"},
      {"no such class", Sent(kColumns, {again, {u"X.Y", u"TNone", u"Echo", u""}}), 105,
       "Echo method not found in class TNone"},
      {"no method column", Sent({u"ServerClassName"}, {{u"TProbe"}}), 0,
       "The table has no MethodName column"},
      {"names nothing", Sent(kColumns, {{u"", u"", u"", u""}}), 0,
       "Row 1 of the table names no method"},
  };
  for (const TRefusal& r : kCreateRefusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.CreateServerMethods", {r.table}); }).CodeAndUtf8(),
              std::make_pair(r.code, std::string(r.message)));
    EXPECT_EQ(MethodAliases(), start);
  }

  Call(u"DSAdmin.CreateServerMethods", {Sent(kColumns, {again})});
  EXPECT_EQ(MethodAliases(), Concat(start, {u"TProbe.EchoAgain"}));
  EXPECT_EQ(Rows(*TableOf(u"DSAdmin.GetServerMethods")).back(),
            (std::vector<Text>{u"TProbe.EchoAgain", u"TProbe", u"Echo", u"admin,ops"}));
  EXPECT_EQ(Call(u"tprobe.echoagain", {Text(u"hi"), std::int64_t{3}}), TDBXValue(Text(u"hi")));

  const TRefusal kDropRefusals[] = {
      {"start method", Sent({u"MethodAlias"}, {{u"TProbe.EchoAgain"}, {u"tprobe.echo"}}), 0,
       "TProbe.Echo was registered at server start and cannot be dropped"},
      {"built-in method",
       Sent({u"MethodAlias"}, {{u"TProbe.EchoAgain"}, {u"DSAdmin.GetPlatformName"}}), 0,
       "DSAdmin.GetPlatformName was registered at server start and cannot be dropped"},
      {"unknown method", Sent({u"MethodAlias"}, {{u"TProbe.EchoAgain"}, {u"TProbe.None"}}), 105,
       "TProbe.None method not found in the server method list"},
      {"no alias column", Sent({u"MethodName"}, {{u"EchoAgain"}}), 0,
       "The table has no MethodAlias column"},
  };
  for (const TRefusal& r : kDropRefusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.DropServerMethods", {r.table}); }).CodeAndUtf8(),
              std::make_pair(r.code, std::string(r.message)));
    EXPECT_EQ(MethodAliases(), Concat(start, {u"TProbe.EchoAgain"}));
  }
  // Without an alias the row names the method by class and method name.
  Call(u"DSAdmin.DropServerMethods",
       {Sent({u"ServerClassName", u"MethodName"}, {{u"TProbe", u"EchoAgain"}})});
  EXPECT_EQ(MethodAliases(), start);
}

TEST_F(DSAdminTest, RegisteredMethodsArePresentedAsProcedures) {
  const TDBXTablePtr procedures =
      TableOf(u"DSMetadata.GetProcedures", {Text(u"tprobe.%"), Text(u"procedure")});
  EXPECT_EQ(Shapes(*procedures), (std::vector<TColumnShape>{{u"CatalogName", 26, 256, 1},
                                                            {u"SchemaName", 26, 256, 1},
                                                            {u"ProcedureName", 26, 256, 0},
                                                            {u"ProcedureType", 26, 256, 0}}));
  EXPECT_EQ(Rows(*procedures), (std::vector<std::vector<Text>>{
                                   {u"(null)", u"(null)", u"TProbe.Nothing", u"PROCEDURE"},
                                   {u"(null)", u"(null)", u"TProbe.Callback", u"PROCEDURE"}}));
  EXPECT_EQ(Column(*TableOf(u"DSMetadata.GetProcedures", {Text(u"TProbe.S%"), Text()}), 2),
            (std::vector<Text>{u"TProbe.Swap", u"TProbe.Serial"}));
  EXPECT_EQ(Column(*TableOf(u"DSMetadata.GetProcedures", {Text(), Text()}), 2), MethodAliases());

  const TDBXTablePtr parameters =
      TableOf(u"DSMetadata.GetProcedureParameters", {Text(u"TProbe.Swap")});
  EXPECT_EQ(Shapes(*parameters), (std::vector<TColumnShape>{{u"CatalogName", 26, 256, 1},
                                                            {u"SchemaName", 26, 256, 1},
                                                            {u"ProcedureName", 26, 256, 0},
                                                            {u"ParameterName", 26, 256, 0},
                                                            {u"ParameterMode", 26, 256, 0},
                                                            {u"TypeName", 26, 256, 0},
                                                            {u"DbxDataType", 6, 0, 1},
                                                            {u"Ordinal", 6, 0, 0}}));
  using R = std::vector<Text>;
  EXPECT_EQ(Rows(*parameters),
            (std::vector<R>{
                {u"(null)", u"(null)", u"TProbe.Swap", u"AValue", u"INOUT", u"int", u"6", u"0"},
                {u"(null)", u"(null)", u"TProbe.Swap", u"AText", u"OUT", u"string", u"26", u"1"},
                {u"(null)", u"(null)", u"TProbe.Swap", u"ReturnParameter", u"RESULT", u"bool", u"4",
                 u"2"}}));
  // A procedure has no return row; the literal form the command level writes is resolved.
  const auto literal =
      FServer.Prepare(FConnection, u"DSMetadata.GetProcedureParameters(\"TProbe.Nothing\")");
  literal->Invoke();
  EXPECT_TRUE(std::get<TDBXTablePtr>(literal->Parameters().back().Value)->Rows.empty());
  EXPECT_EQ(Rows(*TableOf(u"DSMetadata.GetProcedureParameters", {Text(u"TProbe.Echo")})).size(),
            3u);
}

// Gives what a test sets, as the command level's connection does for its commands.
class TConnectionWithCommands : public TDSServerConnection {
 public:
  using TDSServerConnection::TDSServerConnection;
  bool ClearResources() override {
    ++Asked;
    return Cleared;
  }
  bool Cleared = true;
  int Asked = 0;
};

TEST_F(DSAdminTest, WithoutADatabaseThereIsNoConnectionAndNoDefinition) {
  EXPECT_EQ(ErrorOf([&] { Call(u"DSAdmin.GetConnection", {Text(u"IBCONNECTION")}); }).CodeAndUtf8(),
            std::make_pair(0, std::string("Database connection \"IBCONNECTION\" is not available: "
                                          "no database is configured on this server")));
  const TDBXTablePtr properties = TableOf(u"DSAdmin.GetDatabaseConnectionProperties");
  EXPECT_EQ(Shapes(*properties), (std::vector<TColumnShape>{{u"ConnectionName", 26, 256, 0},
                                                            {u"PropertyName", 26, 256, 0},
                                                            {u"PropertyValue", 26, 256, 0}}));
  EXPECT_TRUE(properties->Rows.empty());
}

TEST_F(DSAdminTest, ClearResourcesAsksTheConnection) {
  EXPECT_EQ(Call(u"DSAdmin.ClearResources"), TDBXValue(true));  // nothing held
  TConnectionWithCommands connection(&FServer.Server);
  connection.Cleared = false;
  const auto method = FServer.Prepare(connection, u"DSAdmin.ClearResources");
  method->Invoke();
  EXPECT_EQ(method->Parameters().back().Value, TDBXValue(false));
  EXPECT_EQ(connection.Asked, 1);
}

TEST(NamePatternTest, MatchesWholeNamesWithWildcardsWithoutRegardToCase) {
  struct Case {
    const char16_t* pattern;
    const char16_t* name;
    bool matches;
  };
  const Case kCases[] = {
      {u"", u"anything", true},
      {u"", u"", true},
      {u"Echo", u"echo", true},
      {u"Echo", u"Echoes", false},
      {u"Echo", u"Ech", false},
      {u"%", u"", true},
      {u"*", u"x", true},
      {u"E%", u"Echo", true},
      {u"%o", u"Echo", true},
      {u"%h%", u"Echo", true},
      {u"%x%", u"Echo", false},
      {u"E_ho", u"Echo", true},
      {u"E?ho", u"Echo", true},
      {u"E_ho", u"Eho", false},
      {u"_", u"", false},
      {u"a%b%c", u"aXbYbZc", true},
      {u"a%b%c", u"aXbYbZ", false},
      {u"%ab", u"aab", true},  // the run gives back what it took
      {u"a**b", u"ab", true},
      {u"TSMSignService.AS_%", u"tsmsignservice.as_getrecords", true},
      {u"\u00e9", u"\u00c9", false},  // ASCII letters only, as method names are compared
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(Text(c.pattern) + u" ~ " + c.name));
    EXPECT_EQ(MatchesNamePattern(c.pattern, c.name), c.matches);
  }
  // A hostile pattern costs at most pattern times name.
  const Text name(4000, u'a');
  Text pattern;
  for (int i = 0; i < 2000; ++i) pattern += u"%a";
  EXPECT_FALSE(MatchesNamePattern(pattern + u"b", name));
  EXPECT_TRUE(MatchesNamePattern(pattern, name));
}

}  // namespace
