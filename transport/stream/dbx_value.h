#pragma once

// The parameter model shared by the parameter row, the method registry and the command level:
// data type codes, directions, value-type flags, a parameter value and a table result.
// A value is what a parameter holds between the row and the method call; the row encodes it by
// the parameter's data type, so one value form can serve several codes (every integer type is
// an Int64, single and double precision are a double).

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/text.h"

// Data type codes of the parameter model, as they travel in parameter descriptors.
enum TDBXDataTypes : int {
  dtUnknown = 0,
  dtAnsiString = 1,  // printed "ZSTRING"
  dtDate = 2,
  dtBlob = 3,
  dtBoolean = 4,
  dtInt16 = 5,
  dtInt32 = 6,
  dtDouble = 7,
  dtBcd = 8,
  dtBytes = 9,
  dtTime = 10,
  dtDateTime = 11,
  dtUInt16 = 12,
  dtUInt32 = 13,
  dtVarBytes = 15,
  dtCursor = 17,
  dtInt64 = 18,
  dtUInt64 = 19,
  dtAdt = 20,
  dtArray = 21,
  dtRef = 22,
  dtTable = 23,
  dtTimeStamp = 24,
  dtCurrency = 25,
  dtWideString = 26,
  dtSingle = 27,
  dtInt8 = 28,
  dtUInt8 = 29,
  dtBinaryBlob = 33,  // a byte stream
  dtDBXConnection = 34,
  dtVariant = 35,
  dtTimeStampOffset = 36,
  dtJsonValue = 37,
  dtCallback = 38,
};

// Subtype of a parameter whose declared type is an object class outside the value classes.
inline constexpr int kDBXObjectSubType = 40;

enum TDBXParameterDirection : int {
  pdUnknown = 0,
  pdIn = 1,
  pdOut = 2,
  pdInOut = 3,
  pdReturn = 4,
};

// Value-type flags of a parameter descriptor.
enum TDBXValueTypeFlags : int {
  vtfNullable = 0x01,
  vtfReadOnly = 0x02,
  vtfSearchable = 0x04,
  vtfAutoIncrement = 0x08,
  vtfReadOnlyType = 0x20,
  vtfHidden = 0x40,
  vtfReadByServer = 0x80,  // set on every descriptor the server reads
  vtfValueParameter = 0x100,
  vtfLiteral = 0x200,  // a literal text value follows the descriptor
};

// year * 512 + month * 32 + day.
struct TDBXDate {
  std::int64_t Value = 0;
  friend bool operator==(const TDBXDate&, const TDBXDate&) = default;
};

// Milliseconds since midnight.
struct TDBXTime {
  std::int64_t Milliseconds = 0;
  friend bool operator==(const TDBXTime&, const TDBXTime&) = default;
};

// Milliseconds since 1970-01-01 00:00:00.
struct TDBXTimeStamp {
  std::int64_t Milliseconds = 0;
  friend bool operator==(const TDBXTimeStamp&, const TDBXTimeStamp&) = default;
};

// The 8-bit text of a JSON value (type 37), as it travels in a JSON byte block.
struct TDBXJsonText {
  std::string Bytes;
  friend bool operator==(const TDBXJsonText&, const TDBXJsonText&) = default;
};

using TDBXBytes = std::vector<std::uint8_t>;

struct TDBXTable;
using TDBXTablePtr = std::shared_ptr<const TDBXTable>;

// A parameter's value. std::monostate is the null value; an empty Text is a non-null empty
// text. Integers of every width, Booleans excluded, are Int64; BCD values and time stamps with
// offset are their text.
using TDBXValue = std::variant<std::monostate, bool, std::int64_t, double, Text, TDBXDate, TDBXTime,
                               TDBXTimeStamp, TDBXBytes, TDBXJsonText, TDBXTablePtr>;

inline bool IsNull(const TDBXValue& AValue) {
  return std::holds_alternative<std::monostate>(AValue);
}

// A column of a table result.
struct TDBXColumn {
  Text Name;
  int DataType = dtUnknown;
  int SubType = 0;
  std::int64_t Precision = 0;
  int Scale = 0;
  int Size = 0;
  int Flags = 0;
  int Direction = pdUnknown;
};

// A table result (the built-in metadata methods): its columns and its rows of values, each row
// holding one value per column in column order.
struct TDBXTable {
  std::vector<TDBXColumn> Columns;
  std::vector<std::vector<TDBXValue>> Rows;
};

// A parameter of a prepared command: its descriptor and its value.
struct TDBXParameter {
  int DataType = dtUnknown;
  int SubType = 0;
  int Direction = pdUnknown;
  std::int64_t Precision = 0;
  int Scale = 0;
  Text Name;
  int ChildPosition = 0;
  int Size = 0;
  int Flags = 0;
  TDBXValue Value;
};

using TDBXParameterList = std::vector<TDBXParameter>;
