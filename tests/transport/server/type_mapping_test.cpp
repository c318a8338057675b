#include "transport/server/type_mapping.h"

#include <gtest/gtest.h>

namespace {

using P = TDSParameterPassing;
using type_mapping::TypeCodeOf;

TDSTypeDescription Named(Text AName) { return TDSTypeDescription::Named(std::move(AName)); }
TDSTypeDescription Class(Text AName, std::vector<Text> AAncestors = {}) {
  return TDSTypeDescription::Class(std::move(AName), u"Unit", std::move(AAncestors));
}

TEST(TypeMappingTest, MapsDeclaredTypesToDataTypeCodes) {
  struct Case {
    const char* name;
    TDSTypeDescription type;
    P passing;
    std::optional<int> code;
    int subType;
  };
  const Case kCases[] = {
      {"string", Named(u"string"), P::Value, 26, 0},
      {"String by reference", Named(u"String"), P::Reference, 26, 0},
      {"UnicodeString", Named(u"UnicodeString"), P::Out, 26, 0},
      {"WideString by value", Named(u"WideString"), P::Value, 26, 0},
      {"WideString by reference is unknown", Named(u"WideString"), P::Reference, std::nullopt, 0},
      {"WideString out is unknown", Named(u"widestring"), P::Out, std::nullopt, 0},
      {"AnsiString", Named(u"AnsiString"), P::Value, 1, 0},
      {"Integer in any case", Named(u"INTEGER"), P::Value, 6, 0},
      {"int", Named(u"int"), P::Value, 6, 0},
      {"short", Named(u"short"), P::Value, 5, 0},
      {"bool", Named(u"bool"), P::Value, 4, 0},
      {"__int64", Named(u"__int64"), P::Value, 18, 0},
      {"float", Named(u"float"), P::Value, 27, 0},
      {"double", Named(u"double"), P::Value, 7, 0},
      {"unsigned short", Named(u"unsigned short"), P::Value, 12, 0},
      {"unsigned char", Named(u"unsigned char"), P::Value, 29, 0},
      {"signed char", Named(u"signed char"), P::Value, 28, 0},
      {"unsigned long has no code", Named(u"unsigned long"), P::Value, std::nullopt, 0},
      {"TDateTime", Named(u"TDateTime"), P::Value, 11, 0},
      {"Currency", Named(u"Currency"), P::Value, 25, 0},
      {"TDBXTime", Named(u"TDBXTime"), P::Value, 10, 0},
      {"TDBXDate", Named(u"TDBXDate"), P::Value, 2, 0},
      {"TJSONObject by name", Named(u"TJSONObject"), P::Value, 37, 0},
      {"OleVariant by name", Named(u"OleVariant"), P::Reference, 35, 0},
      {"record", Named(u"TPoint"), P::Value, std::nullopt, 0},
      {"TDBXReader", Class(u"TDBXReader"), P::Value, 23, 40},
      {"reader subclass", Class(u"TDBXJSonReader", {u"TDBXReader"}), P::Value, 23, 40},
      {"TDataSet", Class(u"TDataSet", {u"TComponent"}), P::Value, 23, 0},
      {"TDataSet descendant is just a class", Class(u"TClientDataSet", {u"TDataSet"}), P::Value, 37,
       40},
      {"TParams", Class(u"TParams", {u"TCollection"}), P::Value, 23, 0},
      {"TDBXConnection", Class(u"TDBXConnection"), P::Value, 34, 0},
      {"TStream descendant", Class(u"TMemoryStream", {u"TCustomMemoryStream", u"TStream"}),
       P::Value, 33, 40},
      {"value class", Class(u"TDBXInt16Value", {u"TDBXValue"}), P::Value, 5, 0},
      {"reader value", Class(u"TDBXReaderValue", {u"TDBXValue"}), P::Value, 23, 0},
      {"JSON value class", Class(u"TJSONArray", {u"TJSONValue"}), P::Value, 37, 0},
      {"callback", Class(u"TDBXCallback"), P::Value, 38, 0},
      {"any other class", Class(u"TStringList", {u"TStrings"}), P::Value, 37, 40},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TypeCodeOf(c.type, c.passing), c.code);
    EXPECT_EQ(type_mapping::SubTypeOf(c.type), c.subType);
  }
}

TEST(TypeMappingTest, ValueObjectsDescendFromTheValueClasses) {
  EXPECT_TRUE(type_mapping::IsValueObject(Class(u"TDBXWideStringValue", {u"TDBXValue"})));
  EXPECT_TRUE(type_mapping::IsValueObject(Class(u"TMyValue", {u"TDBXInt32Value", u"TDBXValue"})));
  EXPECT_FALSE(type_mapping::IsValueObject(Class(u"TJSONObject", {u"TJSONValue"})));
  EXPECT_FALSE(type_mapping::IsValueObject(Named(u"TDBXValue")));
}

}  // namespace
