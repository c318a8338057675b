#include "transport/server/type_mapping.h"

#include <array>
#include <string_view>

namespace type_mapping {

namespace {

struct TClassLine {
  std::u16string_view ClassName;
  int Code;
  bool ExactName;  // "named": the class itself, not its descendants
};

// First matching line wins: the order matters where one listed class descends from another.
constexpr std::array<TClassLine, 29> kClassTable{{
    {u"TDBXWideStringValue", dtWideString, false},
    {u"TDBXAnsiStringValue", dtAnsiString, false},
    {u"TDBXReader", dtTable, false},
    {u"TDataSet", dtTable, true},
    {u"TParams", dtTable, true},
    {u"TDBXConnection", dtDBXConnection, false},
    {u"TStream", dtBinaryBlob, false},
    {u"TDBXUInt8Value", dtUInt8, false},
    {u"TDBXInt8Value", dtInt8, false},
    {u"TDBXUInt16Value", dtUInt16, false},
    {u"TDBXInt16Value", dtInt16, false},
    {u"TDBXInt32Value", dtInt32, false},
    {u"TDBXInt64Value", dtInt64, false},
    {u"TDBXSingleValue", dtSingle, false},
    {u"TDBXDoubleValue", dtDouble, false},
    {u"TDBXBcdValue", dtBcd, false},
    {u"TDBXTimeValue", dtTime, false},
    {u"TDBXDateValue", dtDate, false},
    {u"TDBXTimeStampValue", dtTimeStamp, false},
    {u"TDBXTimeStampOffsetValue", dtTimeStampOffset, false},
    {u"TDBXBooleanValue", dtBoolean, false},
    {u"TDBXReaderValue", dtTable, false},
    {u"TDBXConnectionValue", dtDBXConnection, false},
    {u"TDBXJSONValue", dtJsonValue, false},
    {u"TJSONValue", dtJsonValue, false},
    {u"TDBXCallback", dtCallback, false},
    {u"TDBXStreamValue", dtBinaryBlob, false},
    {u"OleVariant", dtVariant, true},
    {u"", dtJsonValue, false},  // any other class
}};

// The value classes of the parameter model and their common base.
constexpr std::array<std::u16string_view, 21> kValueClasses{
    u"TDBXValue",           u"TDBXWideStringValue",
    u"TDBXAnsiStringValue", u"TDBXUInt8Value",
    u"TDBXInt8Value",       u"TDBXUInt16Value",
    u"TDBXInt16Value",      u"TDBXInt32Value",
    u"TDBXInt64Value",      u"TDBXSingleValue",
    u"TDBXDoubleValue",     u"TDBXBcdValue",
    u"TDBXTimeValue",       u"TDBXDateValue",
    u"TDBXTimeStampValue",  u"TDBXTimeStampOffsetValue",
    u"TDBXBooleanValue",    u"TDBXReaderValue",
    u"TDBXConnectionValue", u"TDBXJSONValue",
    u"TDBXStreamValue"};

struct TNameLine {
  std::u16string_view From;
  std::u16string_view To;
};

constexpr std::array<TNameLine, 12> kCStyleNames{{
    {u"UnicodeString", u"String"},
    {u"short", u"SmallInt"},
    {u"bool", u"Boolean"},
    {u"__int64", u"Int64"},
    {u"float", u"Single"},
    {u"double", u"Double"},
    {u"int", u"Integer"},
    {u"unsigned short", u"Word"},
    {u"unsigned long", u"DWord"},
    {u"unsigned char", u"Byte"},
    {u"signed char", u"ShortInt"},
    {u"unsigned", u"LongWord"},
}};

struct TCodeLine {
  std::u16string_view Name;
  int Code;
};

constexpr std::array<TCodeLine, 26> kNameTable{{
    {u"Integer", dtInt32},
    {u"AnsiString", dtAnsiString},
    {u"String", dtWideString},
    {u"TDateTime", dtDateTime},
    {u"Currency", dtCurrency},
    {u"TDBXTime", dtTime},
    {u"TDBXDate", dtDate},
    {u"Double", dtDouble},
    {u"Single", dtSingle},
    {u"Int64", dtInt64},
    {u"Byte", dtUInt8},
    {u"ShortInt", dtInt8},
    {u"Word", dtUInt16},
    {u"SmallInt", dtInt16},
    {u"Boolean", dtBoolean},
    {u"TJSONValue", dtJsonValue},
    {u"TJSONObject", dtJsonValue},
    {u"TJSONArray", dtJsonValue},
    {u"TJSONString", dtJsonValue},
    {u"TJSONNumber", dtJsonValue},
    {u"TJSONTrue", dtJsonValue},
    {u"TJSONFalse", dtJsonValue},
    {u"TJSONNull", dtJsonValue},
    {u"TDBXCallback", dtCallback},
    {u"OleVariant", dtVariant},
    {u"WideString", dtWideString},
}};

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool SameText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

}  // namespace

Text ReplaceCStyleName(TextView ATypeName) {
  for (const TNameLine& line : kCStyleNames)
    if (SameText(ATypeName, line.From)) return Text(line.To);
  return Text(ATypeName);
}

std::optional<int> TypeCodeOf(const TDSTypeDescription& AType, TDSParameterPassing APassing) {
  if (AType.IsClass) {
    for (const TClassLine& line : kClassTable) {
      if (line.ClassName.empty()) return line.Code;
      if (line.ExactName ? AType.Name == line.ClassName : AType.DescendsFrom(line.ClassName))
        return line.Code;
    }
  }
  const Text name = ReplaceCStyleName(AType.Name);
  for (const TCodeLine& line : kNameTable) {
    if (!SameText(name, line.Name)) continue;
    // A WideString passed by reference needs storage of the platform's own string kind.
    if (line.Name == u"WideString" && APassing != TDSParameterPassing::Value) return std::nullopt;
    return line.Code;
  }
  return std::nullopt;
}

bool IsValueObject(const TDSTypeDescription& AType) {
  for (std::u16string_view name : kValueClasses)
    if (AType.DescendsFrom(name)) return true;
  return false;
}

int SubTypeOf(const TDSTypeDescription& AType) {
  if (!AType.IsClass) return 0;
  if (IsValueObject(AType) || AType.DescendsFrom(u"TJSONValue") ||
      AType.DescendsFrom(u"TDBXConnection") || AType.DescendsFrom(u"TDBXCallback") ||
      AType.Name == u"TDataSet" || AType.Name == u"TParams")
    return 0;
  return kDBXObjectSubType;
}

}  // namespace type_mapping
