#include "transport/stream/row_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/hex_bytes.h"
#include "tests/support/memory_channel.h"
#include "tests/support/row_data_block.h"
#include "transport/dbx_error.h"
#include "transport/stream/json_error_reply.h"
#include "transport/stream/row_format.h"

namespace {

using namespace row_format;
using test_support::FromHex;

// One connection in memory: the channel carries the client's blocks in and records what the
// server writes out.
struct TRowWorld {
  explicit TRowWorld(int AWriterSize = kJSonTransportBufferSize, bool AClient = false)
      : writer(channel, AWriterSize), row(reader, writer, writer.CalcRowBufferSize(), AClient) {}
  TMemoryChannel channel;
  TDBXJSonStreamReader reader{channel};
  TDBXJSonStreamWriter writer;
  TDBXRowBuffer row;
};

std::string DataBlock(std::string_view ABytes, std::int64_t ACount) {
  return "{\"data\":[" + std::to_string(ACount) + "," + std::string(ABytes) + "]}";
}
std::string DataBlock(std::string_view ABytes) {
  return DataBlock(ABytes, static_cast<std::int64_t>(ABytes.size()));
}

void ReadDataBlock(TRowWorld& AWorld) { test_support::ReadRowDataBlock(AWorld.reader, AWorld.row); }

void LoadRow(TRowWorld& AWorld, std::string_view ARow) {
  AWorld.channel.PushInput(DataBlock(ARow));
  ReadDataBlock(AWorld);
}

std::string Written(const TDBXRowBuffer& ARow) {
  const auto bytes = ARow.WrittenBytes();
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const TDBXError& e) {
    return e.what();
  }
  return "<no error>";
}

bool StartsWith(const std::string& AText, std::string_view APrefix) {
  return AText.compare(0, APrefix.size(), APrefix) == 0;
}

// The server's own continuation request for a field of the parameter row.
std::string MoreBlobRequest(int ABlobHandle, int AOrdinal) {
  return "{\"more_blob\":[-1," + std::to_string(ABlobHandle) + ",0," + std::to_string(AOrdinal) +
         ",0]}";
}

// Everything a client would receive for a continuation, answered piece by piece by the
// writer as the server's more_blob reply does, until the last piece.
std::string ServeContinuation(TDBXByteStream& AStream, int AWriterSize = kJSonTransportBufferSize) {
  TMemoryChannel out;
  TDBXJSonStreamWriter writer(out, AWriterSize);
  for (int i = 0; i < 100000 && !writer.WriteDataObject(AStream); ++i) {
  }
  return out.Written();
}

// The raw bytes carried by a sequence of data blocks, and the count of the last block.
std::string DataOf(const std::string& ABlocks, int* ALastCount = nullptr) {
  TMemoryChannel in;
  in.PushInput(ABlocks);
  TDBXJSonStreamReader reader(in);
  std::string bytes;
  for (int block = 0; block < 100000; ++block) {
    reader.Next(jtObjectStart);
    reader.ReadStringCode();
    reader.Next(jtNameSeparator);
    reader.Next(jtArrayStart);
    const int count = reader.ReadInt();
    reader.NextValueSeparator();
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(count < 0 ? -count : count));
    reader.ReadDataBytes(chunk, 0, static_cast<int>(chunk.size()));
    bytes.append(chunk.begin(), chunk.end());
    reader.Next(jtArrayEnd);
    reader.Next(jtObjectEnd);
    if (ALastCount != nullptr) *ALastCount = count;
    if (count <= 0) break;
  }
  return bytes;
}

Text Latin1Text(std::size_t ALength) {
  Text text(ALength, u'\0');
  for (std::size_t i = 0; i < ALength; ++i)
    text[i] = static_cast<char16_t>(i % 3 == 0 ? u'\u00E9' : u'a' + i % 26);  // é and letters
  return text;
}

// ---------------------------------------------------------------------------------------------

struct TValueCase {
  const char* name;
  TDBXValue value;
  int type;
  int subType;
  const char* hex;
};

const TValueCase kValueCases[] = {
    {"null text", TDBXValue{}, dtWideString, 0, "C0"},
    {"null integer", TDBXValue{}, dtInt32, 0, "C0"},
    {"empty text", Text(), dtWideString, 0, "20"},
    {"A e-acute", Text(u"A\u00E9"), dtWideString, 0, "22 41 E9"},
    {"A euro B", Text(u"A\u20ACB"), dtWideString, 0, "26 41 FF 20 AC 00 42"},
    {"y-diaeresis", Text(u"\u00FF"), dtWideString, 0, "23 FF 00 FF"},
    {"euro fifth of ten", Text(u"abcd\u20ACfghij"), dtWideString, 0,
     "31 61 62 63 64 FF 20 AC 00 66 00 67 00 68 00 69 00 6A"},
    {"ansi string", Text(u"<Rps/>"), dtAnsiString, 0, "26 3C 52 70 73 2F 3E"},
    {"bcd as text", Text(u"12.50"), dtBcd, 0, "25 31 32 2E 35 30"},
    {"offset time stamp as text", Text(u"5/17/2024 1:02:03:4"), dtTimeStampOffset, 0,
     "33 35 2F 31 37 2F 32 30 32 34 20 31 3A 30 32 3A 30 33 3A 34"},
    {"zero", std::int64_t{0}, dtInt32, 0, "60"},
    {"300", std::int64_t{300}, dtInt32, 0, "62 01 2C"},
    {"-1", std::int64_t{-1}, dtInt32, 0, "21 01"},
    {"int16 -300", std::int64_t{-300}, dtInt16, 0, "22 01 2C"},
    {"int8 -128", std::int64_t{-128}, dtInt8, 0, "21 80"},
    {"uint8 255", std::int64_t{255}, dtUInt8, 0, "61 FF"},
    {"uint16 65535", std::int64_t{65535}, dtUInt16, 0, "62 FF FF"},
    {"int32 min", std::int64_t{-2147483648LL}, dtInt32, 0, "24 80 00 00 00"},
    {"int32 max", std::int64_t{2147483647}, dtInt32, 0, "64 7F FF FF FF"},
    {"uint32 max travels as 32-bit -1", std::int64_t{4294967295LL}, dtUInt32, 0, "21 01"},
    {"int64 256", std::int64_t{256}, dtInt64, 0, "62 01 00"},
    {"int64 max", INT64_MAX, dtInt64, 0, "68 7F FF FF FF FF FF FF FF"},
    {"int64 min", INT64_MIN, dtInt64, 0, "28 80 00 00 00 00 00 00 00"},
    {"uint64 top bit", std::int64_t{INT64_MIN + 1}, dtUInt64, 0, "28 7F FF FF FF FF FF FF FF"},
    {"true", true, dtBoolean, 0, "60"},
    {"false", false, dtBoolean, 0, "20"},
    {"double 0", 0.0, dtDouble, 0, "60"},
    {"double -0", -0.0, dtDouble, 0, "21 80"},
    {"double 1", 1.0, dtDouble, 0, "62 3F F0"},
    {"double -1.5", -1.5, dtDouble, 0, "22 BF F8"},
    {"double 0.1", 0.1, dtDouble, 0, "68 3F B9 99 99 99 99 99 9A"},
    {"single 1.5", 1.5, dtSingle, 0, "62 3F C0"},
    {"double of subtype single", 0.5, dtDouble, dtSingle, "61 3F"},
    {"date", TDBXDate{2024 * 512 + 5 * 32 + 17}, dtDate, 0, "63 0F D0 B1"},
    {"time", TDBXTime{45296789}, dtTime, 0, "64 02 B3 2C 95"},
    {"time stamp epoch", TDBXTimeStamp{0}, dtTimeStamp, 0, "21 60"},
    {"time stamp whole second", TDBXTimeStamp{1000}, dtTimeStamp, 0, "23 62 03 E8"},
    {"time stamp with fraction", TDBXTimeStamp{1005}, dtTimeStamp, 0, "27 62 03 E8 00 4C 4B 40"},
    {"time stamp before epoch", TDBXTimeStamp{-1}, dtDateTime, 0, "27 22 03 E8 3B 8B 87 C0"},
    {"time stamp min", TDBXTimeStamp{INT64_MIN}, dtTimeStamp, 0,
     "2D 28 80 00 00 00 00 00 00 C0 0B 71 B0 00"},
    {"empty bytes", TDBXBytes{}, dtBinaryBlob, 0, "20"},
    {"bytes", TDBXBytes{1, 2, 0xFF}, dtBinaryBlob, 0, "10 00 03 01 02 FF"},
    {"json", TDBXJsonText{"{}"}, dtJsonValue, 0, "40 00 00 00 02 7B 7D"},
    {"empty json", TDBXJsonText{""}, dtJsonValue, 0, "40 00 00 00 00"},
};

}  // namespace

TEST(RowBufferTest, WritesEachValueForm) {
  for (const auto& c : kValueCases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    world.row.Clear();
    world.row.WriteValue(c.value, c.type, c.subType);
    EXPECT_EQ(Written(world.row), FromHex(c.hex));
  }
}

TEST(RowBufferTest, ReadsEachValueForm) {
  for (const auto& c : kValueCases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    LoadRow(world, FromHex(c.hex));
    EXPECT_EQ(world.row.ReadValue(0, c.type, c.subType), c.value);
  }
}

TEST(RowBufferTest, TextLengthPicksTheHeader) {
  struct Case {
    std::size_t length;
    std::string header;
  };
  const Case cases[] = {
      {0, FromHex("20")},        {1, FromHex("21")},         {31, FromHex("3F")},
      {32, FromHex("10 00 20")}, {255, FromHex("10 00 FF")}, {1024, FromHex("10 04 00")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    TRowWorld world;
    world.row.Clear();
    world.row.WriteString(Text(c.length, u'x'));
    EXPECT_EQ(Written(world.row), c.header + std::string(c.length, 'x'));
  }
}

TEST(RowBufferTest, WorkedExchangeRows) {
  TRowWorld world;
  LoadRow(world, FromHex("26 3C 52 70 73 2F 3E 26 31 41 32 42 33 43"));
  EXPECT_EQ(world.row.ReadValue(0, dtWideString, 0), TDBXValue(Text(u"<Rps/>")));
  EXPECT_EQ(world.row.ReadValue(1, dtWideString, 0), TDBXValue(Text(u"1A2B3C")));

  world.row.Clear();
  world.row.WriteValue(TDBXValue{}, dtWideString, 0);
  world.row.WriteValue(TDBXValue{}, dtWideString, 0);
  world.row.WriteValue(Text(u"<Rps/>"), dtWideString, 0);
  EXPECT_EQ(Written(world.row), FromHex("C0 C0 26 3C 52 70 73 2F 3E"));
  world.row.WriteData();
  world.writer.Flush();
  EXPECT_EQ(world.channel.Written(),
            "{\"data\":[9," + FromHex("C0 C0 26 3C 52 70 73 2F 3E") + "]}");
  EXPECT_EQ(world.row.WritePosition(), 0);
}

TEST(RowBufferTest, ReadsOrdinalsInAnyOrder) {
  TRowWorld world;
  LoadRow(world, FromHex("21 61 C0 62 01 2C 23 FF 00 FF"));
  EXPECT_EQ(world.row.ReadValue(2, dtInt32, 0), TDBXValue(std::int64_t{300}));
  EXPECT_EQ(world.row.ReadValue(0, dtWideString, 0), TDBXValue(Text(u"a")));
  EXPECT_EQ(world.row.ReadValue(3, dtWideString, 0), TDBXValue(Text(u"\u00FF")));
  EXPECT_EQ(world.row.ReadValue(1, dtWideString, 0), TDBXValue{});
  EXPECT_EQ(world.row.ReadValue(3, dtWideString, 0), TDBXValue(Text(u"\u00FF")));
}

// A field of each form at ordinal 0, then the text "OK": the skip must land on it.
TEST(RowBufferTest, SkipsEveryFieldForm) {
  struct Case {
    const char* name;
    const char* field;
  };
  const Case cases[] = {
      {"null C0", "C0"},
      {"null, any byte with bit 7", "8F"},
      {"callback marker", "02"},
      {"empty short form", "20"},
      {"short form", "25 01 02 03 04 05"},
      {"positive short form", "62 01 2C"},
      {"short form wins over long form bits",
       "31 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"},
      {"long form", "10 00 03 41 42 43"},
      {"long form with other low bits", "12 00 01 41"},
      {"continued long form", "50 00 02 41 42"},
      {"json block", "40 00 00 00 03 7B 7D 20"},
      {"json rule before blob rule", "48 00 00 00 01 41"},
      {"blob header exactly 08", "08 00 00 01 00"},
      {"blob header with inline part", "09 00 00 00 02 02 41 42"},
      {"blob inline count uses low five bits", "0C 00 00 00 01 E1 41"},
      {"zero-terminated", "00 41 42 00"},
      {"zero-terminated empty", "00 00"},
      {"zero-terminated wide", "00 41 FF 00 42 00 00"},
      {"zero-terminated wide with zero high byte", "00 FF 00 41 20 00 00 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    LoadRow(world, FromHex(c.field) + FromHex("22 4F 4B"));
    EXPECT_EQ(world.row.ReadValue(1, dtWideString, 0), TDBXValue(Text(u"OK")));
  }
}

TEST(RowBufferTest, ReadsTextFromEachInlineForm) {
  struct Case {
    const char* name;
    const char* field;
    Text text;
  };
  const Case cases[] = {
      {"short", "23 61 62 63", u"abc"},
      {"positive short bit ignored", "63 61 62 63", u"abc"},
      {"long", "10 00 03 61 62 63", u"abc"},
      {"long empty", "10 00 00", u""},
      {"long wide", "10 00 04 61 FF 20 AC", u"a\u20AC"},
      {"zero-terminated", "00 61 62 00", u"ab"},
      {"zero-terminated wide", "00 61 FF 20 AC 00 00", u"a\u20AC"},
      {"surrogate pair", "26 61 FF D8 3D DE 00", u"a\U0001F600"},
      {"switch byte only", "21 FF", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    LoadRow(world, FromHex(c.field));
    EXPECT_EQ(world.row.ReadValue(0, dtWideString, 0), TDBXValue(c.text));
  }
}

TEST(RowBufferTest, RefusesHeadersOfTheWrongKind) {
  struct Case {
    const char* name;
    const char* field;
    int type;
    std::string_view message;
  };
  const Case cases[] = {
      {"callback as text", "02", dtWideString, kUnexpectedHeader},
      {"json block as text", "40 00 00 00 00", dtWideString, kUnexpectedHeader},
      {"no rule as text", "05", dtWideString, kUnexpectedHeader},
      {"long form as integer", "10 00 01 41", dtInt32, kUnexpectedHeader},
      {"blob as Boolean", "08 00 00 00 00", dtBoolean, kUnexpectedHeader},
      {"zero-terminated as bytes", "00 41 00", dtBinaryBlob, kUnexpectedHeader},
      {"text as json", "21 41", dtJsonValue, kInvalidJsonHeader},
      {"long form as json", "10 00 00", dtJsonValue, kInvalidJsonHeader},
      {"json rule but not 40 as json", "41 00 00 00 00", dtJsonValue, kInvalidJsonHeader},
      {"unsupported type", "21 41", dtTable, kUnsupportedDataType},
      {"unsupported type, no field read", "05", dtCursor, kUnsupportedDataType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    LoadRow(world, FromHex(c.field));
    const std::string error = ErrorOf([&] { world.row.ReadValue(0, c.type, 0); });
    EXPECT_TRUE(StartsWith(error, c.message)) << error;
    if (c.message == kUnexpectedHeader || c.message == kInvalidJsonHeader) {
      EXPECT_EQ(error, c.message);
    }
  }
}

TEST(RowBufferTest, NullIsTheNullFieldWhateverTheType) {
  for (const int type : {dtJsonValue, dtWideString, dtInt32, dtVariant, dtTable, dtCursor}) {
    SCOPED_TRACE(type);
    TRowWorld world;
    LoadRow(world, FromHex("C0 C0"));
    EXPECT_EQ(world.row.ReadValue(1, type, 0), TDBXValue{});
    world.row.Clear();
    world.row.WriteValue(TDBXValue{}, type, 0);
    EXPECT_EQ(Written(world.row), FromHex("C0"));
  }
}

// Rows a client could send that do not hold together: each is an error of the request, read
// within the loaded bytes only (the sanitizer build checks the latter).
TEST(RowBufferTest, RefusesMalformedRows) {
  struct Case {
    const char* name;
    const char* row;
    int ordinal;
    int type;
    std::string_view message;
  };
  const Case cases[] = {
      {"empty row", "", 0, dtWideString, kNoSuchField},
      {"ordinal past the last field", "21 41 21 42", 2, dtWideString, kNoSuchField},
      {"negative ordinal", "21 41", -1, dtWideString, kNoSuchField},
      {"short text past the end", "25 41", 0, dtWideString, kFieldPastEnd},
      {"long length cut", "10 00", 0, dtWideString, kFieldPastEnd},
      {"long text past the end", "10 00 05 41", 0, dtWideString, kFieldPastEnd},
      {"continued text past the end", "50 01 00 41", 0, dtWideString, kFieldPastEnd},
      {"json size cut", "40 00 00", 0, dtJsonValue, kFieldPastEnd},
      {"json past the end", "40 FF FF FF FF 7B", 0, dtJsonValue, kFieldPastEnd},
      {"blob header cut", "08 00 00", 0, dtWideString, kFieldPastEnd},
      {"blob inline count missing", "09 00 00 00 05", 0, dtWideString, kFieldPastEnd},
      {"blob inline part past the end", "09 00 00 00 05 05 41", 0, dtWideString, kFieldPastEnd},
      {"zero-terminated without zero", "00 41 42", 0, dtWideString, kFieldPastEnd},
      {"zero-terminated wide without zero unit", "00 FF 00 41 00", 0, dtWideString, kFieldPastEnd},
      {"skipped field past the end", "10 00 09 41 21 42", 1, dtWideString, kFieldPastEnd},
      {"skipped field fits no rule", "01 21 42", 1, dtWideString, kNoSkipRule},
      {"skipped header 07", "07 21 42", 1, dtWideString, kNoSkipRule},
      {"integer past the end", "62 01", 0, dtInt32, kFieldPastEnd},
      {"integer of nine bytes", "29 01 02 03 04 05 06 07 08 09", 0, dtInt64, kBadFieldLength},
      {"single of five bytes", "65 3F 80 00 00 01", 0, dtSingle, kBadFieldLength},
      {"double of nine bytes", "69 3F 80 00 00 01 00 00 00 00", 0, dtDouble, kBadFieldLength},
      {"wide text with a stray byte", "23 41 FF 00", 0, dtWideString, kIncompleteWideChar},
      {"time stamp without content", "20", 0, dtTimeStamp, kBadFieldLength},
      {"time stamp seconds past content", "22 63 01", 0, dtTimeStamp, kBadFieldLength},
      {"time stamp fraction of two bytes", "24 61 01 00 01", 0, dtTimeStamp, kBadFieldLength},
      {"time stamp seconds not a number", "22 10 00", 0, dtTimeStamp, kUnexpectedHeader},
      {"time stamp overflowing", "2D 68 7F FF FF FF FF FF FF FF 3B 8B 87 C0", 0, dtTimeStamp,
       kValueOutOfRange},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld world;
    LoadRow(world, FromHex(c.row));
    const std::string error = ErrorOf([&] { world.row.ReadValue(c.ordinal, c.type, 0); });
    EXPECT_TRUE(StartsWith(error, c.message)) << error;
    // The connection goes on: the next row loads and reads.
    LoadRow(world, FromHex("21 41"));
    EXPECT_EQ(world.row.ReadValue(0, dtWideString, 0), TDBXValue(Text(u"A")));
  }
}

// Every prefix of a row and every single-byte change of it reads as values or errors.
// Every read of a cut or damaged row either gives a value or raises the protocol's error: no
// other exception, no crash (the sanitizer build watches the memory).
TEST(RowBufferTest, SurvivesCutAndDamagedRows) {
  TRowWorld source;
  source.row.Clear();
  source.row.WriteString(u"Nota fiscal \u20AC");
  source.row.WriteValue(std::int64_t{-70000}, dtInt32, 0);
  source.row.WriteValue(TDBXTimeStamp{1234567}, dtTimeStamp, 0);
  source.row.WriteValue(TDBXJsonText{"[1]"}, dtJsonValue, 0);
  source.row.WriteValue(TDBXBytes{9, 8, 7}, dtBinaryBlob, 0);
  source.row.WriteNull();
  const std::string row = Written(source.row) + FromHex("00 41 00 09 00 00 00 01 01 41");
  const int types[] = {dtWideString, dtInt32,  dtTimeStamp, dtJsonValue,
                       dtBinaryBlob, dtDouble, dtBoolean,   dtWideString};
  std::size_t failures = 0;
  const auto readAll = [&](const std::string& bytes) {
    TRowWorld world(kJSonTransportBufferSize, true);  // client role: no continuation fetched
    LoadRow(world, bytes);
    for (int ordinal = 0; ordinal < 9; ++ordinal) {
      for (const int type : types) {
        std::string error;
        EXPECT_NO_THROW(error = ErrorOf([&] { world.row.ReadValue(ordinal, type, 0); }))
            << "ordinal " << ordinal << ", type " << type;
        if (error != "<no error>") {
          EXPECT_FALSE(error.empty());
          ++failures;
        }
      }
    }
  };
  // The whole row reads its first value.
  {
    TRowWorld world(kJSonTransportBufferSize, true);
    LoadRow(world, row);
    EXPECT_EQ(ErrorOf([&] { world.row.ReadValue(0, dtWideString, 0); }), "<no error>");
  }
  for (std::size_t length = 0; length <= row.size(); ++length) readAll(row.substr(0, length));
  for (std::size_t at = 0; at < row.size(); ++at) {
    for (const int flip : {0x01, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
      std::string damaged = row;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      readAll(damaged);
    }
  }
  EXPECT_GT(failures, 0u) << "cut and damaged rows are refused somewhere";
}

TEST(RowBufferTest, RefusesRowCountsOutOfRangeBeforeReading) {
  for (const int count : {-1, INT32_MIN, kMaxRowBytes + 1}) {
    SCOPED_TRACE(count);
    TRowWorld world;
    world.channel.PushInput("abc");
    const std::string error = ErrorOf([&] { world.row.LoadData(count); });
    EXPECT_TRUE(StartsWith(error, kRowSizeOutOfRange)) << error;
    EXPECT_EQ(world.channel.ReadCalls(), 0);
  }
}

TEST(RowBufferTest, RowCountLargerThanTheBytesSentEndsInAReadError) {
  TRowWorld world;
  world.channel.PushInput("[1000000,abc");
  world.reader.Next(jtArrayStart);
  const int count = world.reader.ReadInt();
  world.reader.NextValueSeparator();
  EXPECT_THROW(world.row.LoadData(count), TDBXError);
  EXPECT_EQ(world.row.ReadSize(), 0);
}

TEST(RowBufferTest, LoadsRowsLargerThanOnePiece) {
  TRowWorld world;
  std::string row;
  for (int i = 0; i < 5000; ++i)
    row += FromHex("3F") + std::string(31, static_cast<char>('a' + i % 26));
  LoadRow(world, row);
  EXPECT_EQ(world.row.ReadSize(), static_cast<int>(row.size()));
  EXPECT_EQ(world.row.ReadValue(4999, dtWideString, 0),
            TDBXValue(Text(31, static_cast<char16_t>(u'a' + 4999 % 26))));
}

// ---------------------------------------------------------------------------------------------
// Round trips around the size boundaries

namespace {

// Writes AText as the only value of a reply row, then reads it back as a client's row would
// arrive at the server: the row block followed by the continuation pieces.
Text RoundTrip(TRowWorld& AServer, const Text& AText, std::string* AHeader = nullptr) {
  AServer.row.Clear();
  AServer.row.WriteString(AText);
  const std::string row = Written(AServer.row);
  if (AHeader != nullptr) *AHeader = row.substr(0, row[0] & kShortForm ? 1 : 3);
  TDBXContinuations continuations = AServer.row.TakeContinuations();

  TRowWorld client;
  client.channel.PushInput(DataBlock(row));
  if (auto* stream = continuations.Find(kParameterRowHandle, 0))
    client.channel.PushInput(ServeContinuation(*stream));
  ReadDataBlock(client);
  const TDBXValue value = client.row.ReadValue(0, dtWideString, 0);
  EXPECT_FALSE(client.reader.HasMoreBytes());
  return std::get<Text>(value);
}

std::vector<Text> TextsOfLength(std::size_t ALength) {
  std::vector<Text> texts{Latin1Text(ALength)};
  if (ALength > 0) {
    Text first = Latin1Text(ALength);
    first.front() = u'\u20AC';
    Text last = Latin1Text(ALength);
    last.back() = u'\u0100';
    Text yAtEnd = Latin1Text(ALength);
    yAtEnd.back() = u'\u00FF';
    texts.insert(texts.end(), {first, last, yAtEnd});
  }
  return texts;
}

}  // namespace

TEST(RowBufferTest, RoundTripsTextsAroundEverySizeBoundary) {
  TRowWorld server;
  // Minimum size 30720 with 32 KiB writer buffers: a value at position 0 may take 30717 bytes.
  const std::size_t budget = 30717;
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{30}, std::size_t{31},
        std::size_t{32}, std::size_t{33}, std::size_t{1024}, std::size_t{1025}, budget - 1, budget,
        budget + 1, std::size_t{65535}, std::size_t{65536}, std::size_t{100000}}) {
    for (const Text& text : TextsOfLength(length)) {
      SCOPED_TRACE(length);
      SCOPED_TRACE(text.empty() ? 0 : static_cast<int>(text.front()));
      EXPECT_TRUE(RoundTrip(server, text) == text);
    }
  }
}

TEST(RowBufferTest, InlineBudgetDecidesWhereTheTextContinues) {
  struct Case {
    const char* name;
    int writerSize;
    std::size_t encodedLength;
    const char* header;
  };
  const Case cases[] = {
      {"31 bytes", kJSonTransportBufferSize, 31, "3F"},
      {"32 bytes", kJSonTransportBufferSize, 32, "10 00 20"},
      {"whole budget", kJSonTransportBufferSize, 30717, "10 77 FD"},
      {"one past the budget", kJSonTransportBufferSize, 30718, "50 77 FD"},
      // A writer of 2 KiB leaves no minimum size: every value gets the fixed budget.
      {"small buffer, fixed budget", 2048, 1024, "10 04 00"},
      {"small buffer, one past", 2048, 1025, "50 04 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld server(c.writerSize);
    std::string header;
    const Text text = Latin1Text(c.encodedLength);
    EXPECT_TRUE(RoundTrip(server, text, &header) == text);
    EXPECT_EQ(header, FromHex(c.header));
  }
}

// What a large received row made the buffer grow to does not widen the budget of later rows.
TEST(RowBufferTest, BudgetFollowsTheRowNotTheGrownBuffer) {
  TRowWorld server;
  LoadRow(server, std::string(200000, '\x20'));
  for (const auto& [length, header] :
       {std::pair{std::size_t{30717}, "10 77 FD"}, std::pair{std::size_t{30718}, "50 77 FD"}}) {
    SCOPED_TRACE(length);
    std::string written;
    const Text text = Latin1Text(length);
    EXPECT_TRUE(RoundTrip(server, text, &written) == text);
    EXPECT_EQ(written, FromHex(header));
  }
}

TEST(RowBufferTest, BudgetIsCappedAtTheLongFormLength) {
  // A writer of 128 KiB gives a minimum row size past 64 KiB; the longest inline value is
  // still 65535 bytes.
  TRowWorld server(128 * 1024);
  for (const auto& [length, header] :
       {std::pair{std::size_t{65535}, "10 FF FF"}, std::pair{std::size_t{65536}, "50 FF FF"}}) {
    SCOPED_TRACE(length);
    std::string written;
    const Text text = Latin1Text(length);
    EXPECT_TRUE(RoundTrip(server, text, &written) == text);
    EXPECT_EQ(written, FromHex(header));
  }
}

TEST(RowBufferTest, BudgetShrinksWithThePosition) {
  TRowWorld server;
  server.row.Clear();
  server.row.WriteNull();
  server.row.WriteNull();
  server.row.WriteString(Latin1Text(30715));  // 30720 - 2 - 3
  EXPECT_EQ(Written(server.row).substr(2, 3), FromHex("10 77 FB"));
  server.row.Clear();
  server.row.WriteNull();
  server.row.WriteNull();
  server.row.WriteString(Latin1Text(30716));
  EXPECT_EQ(Written(server.row).substr(2, 3), FromHex("50 77 FB"));
  // Once the row comes within the budget of its minimum size, values get the fixed budget.
  server.row.Clear();
  server.row.WriteString(Latin1Text(30000));
  server.row.WriteString(Latin1Text(1025));
  EXPECT_EQ(Written(server.row).substr(30003, 3), FromHex("50 04 00"));
}

// ---------------------------------------------------------------------------------------------
// Continuation out: the client's more_blob

TEST(RowBufferTest, ContinuesLongTextThroughMoreBlob) {
  TRowWorld server;
  const Text text = Latin1Text(100000) + u"\u20AC";
  server.row.Clear();
  server.row.WriteNull();
  server.row.WriteNull();
  server.row.WriteString(text);
  const std::string row = Written(server.row);
  const std::size_t budget = 30720 - 2 - 3;
  ASSERT_EQ(row.size(), 2 + 3 + budget);
  EXPECT_EQ(row.substr(0, 5), FromHex("C0 C0 50 77 FB"));

  TDBXContinuations continuations = server.row.TakeContinuations();
  EXPECT_EQ(continuations.Find(kParameterRowHandle, 0), nullptr);
  TDBXBlobStream* stream = continuations.Find(kParameterRowHandle, 2);
  ASSERT_NE(stream, nullptr);

  std::string encoded(text.size() + 2, '\0');
  std::size_t firstWide = 0;
  ASSERT_EQ(TDBXStringEncoder::EncodedLength(text, firstWide), encoded.size());
  TDBXStringEncoder::Encode(text, firstWide, reinterpret_cast<std::uint8_t*>(encoded.data()));
  EXPECT_TRUE(row.substr(5) == encoded.substr(0, budget));

  // Each answer carries at most a writer buffer less the block's frame; the last is negative.
  int lastCount = 0;
  const std::string answers = ServeContinuation(*stream);
  EXPECT_TRUE(DataOf(answers, &lastCount) == encoded.substr(budget));
  EXPECT_LT(lastCount, 0);
  EXPECT_TRUE(stream->Eos());
}

TEST(RowBufferTest, ContinuationsBelongToTheirRowAndAreDropped) {
  TRowWorld server;
  server.row.Clear();
  server.row.WriteString(Latin1Text(40000));
  server.row.Clear();  // not taken: dropped with the row
  EXPECT_TRUE(server.row.TakeContinuations().Empty());

  // Table rows: the continuation is found under the reader's row handle.
  server.row.Clear(7);
  server.row.WriteValue(std::int64_t{1}, dtInt32, 0);
  server.row.WriteValue(TDBXBytes(50000, 0xAB), dtBinaryBlob, 0);
  server.row.BeginRow();
  server.row.WriteValue(std::int64_t{2}, dtInt32, 0);
  server.row.WriteValue(Text(u"short"), dtWideString, 0);
  TDBXContinuations continuations = server.row.TakeContinuations();
  TDBXBlobStream* stream = continuations.Find(7, 1);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->Remaining(), 50000u - 30717u + 2u);
  EXPECT_EQ(continuations.Find(kParameterRowHandle, 1), nullptr);
  EXPECT_TRUE(server.row.TakeContinuations().Empty());
  continuations.Clear();
  EXPECT_EQ(continuations.Find(7, 1), nullptr);
}

TEST(RowBufferTest, WritesTableBlocksWithSignedCounts) {
  TRowWorld server;
  server.row.Clear(3);
  server.row.WriteValue(Text(u"a"), dtWideString, 0);
  server.row.BeginRow();
  server.row.WriteValue(Text(u"b"), dtWideString, 0);
  server.row.WriteData(true);
  server.writer.Flush();
  EXPECT_EQ(server.channel.Written(), "{\"data\":[-4," + FromHex("21 61 21 62") + "]}");
  EXPECT_EQ(server.row.WritePosition(), 0);
}

TEST(RowBufferTest, RefusesValuesThatDoNotMatchTheirType) {
  TRowWorld server;
  server.row.Clear();
  EXPECT_TRUE(StartsWith(ErrorOf([&] { server.row.WriteValue(Text(u"1"), dtInt32, 0); }),
                         kValueTypeMismatch));
  EXPECT_TRUE(StartsWith(ErrorOf([&] { server.row.WriteValue(std::int64_t{1}, dtTable, 0); }),
                         kUnsupportedDataType));
  EXPECT_EQ(server.row.WritePosition(), 0);
}

// ---------------------------------------------------------------------------------------------
// Continuation in: the server's own more_blob

namespace {

struct TContinuedCase {
  const char* name;
  std::string row;                   // the loaded row; the continued field is the last one
  std::vector<std::string> answers;  // the client's answers, in order
  Text text;
};

}  // namespace

TEST(RowBufferTest, FetchesTheRestOfAContinuedText) {
  // a, then U+1F600 (D83D DE00), then b: 61 FF D8 3D DE 00 00 62.
  const Text smiley = u"a\U0001F600b";
  const std::vector<TContinuedCase> cases = {
      {"parts in order",
       FromHex("C0 50 00 02 61 62"),
       {DataBlock("cd", 2), DataBlock("ef", -2)},
       u"abcdef"},
      {"empty last part without comma",
       FromHex("C0 50 00 01 61"),
       {DataBlock("bc", 2), "{\"data\":[0]}"},
       u"abc"},
      {"empty last part with comma",
       FromHex("C0 50 00 01 61"),
       {DataBlock("bc", 2), DataBlock("", 0)},
       u"abc"},
      {"padded counts",
       FromHex("C0 50 00 01 61"),
       {"{\"data\":[2        ,bc]}", "{\"data\":[-1       ,d]}"},
       u"abcd"},
      {"answer wrapped in a result",
       FromHex("C0 50 00 01 61"),
       {"{\"result\":[" + DataBlock("bc", -2) + "]}"},
       u"abc"},
      {"blanks between tokens", FromHex("C0 50 00 01 61"), {" { \"data\" : [-2,bc] } "}, u"abc"},
      {"switch byte ends the row part",
       FromHex("C0 50 00 02 61 FF"),
       {DataBlock(FromHex("D8 3D DE 00 00 62"), -6)},
       smiley},
      {"unit split between row and part",
       FromHex("C0 50 00 03 61 FF D8"),
       {DataBlock(FromHex("3D DE 00 00 62"), -5)},
       smiley},
      {"high surrogate split across parts",
       FromHex("C0 50 00 01 61"),
       {DataBlock(FromHex("FF D8"), 2), DataBlock(FromHex("3D DE"), 2),
        DataBlock(FromHex("00 00 62"), -3)},
       smiley},
      {"pair split between its units",
       FromHex("C0 50 00 04 61 FF D8 3D"),
       {DataBlock(FromHex("DE 00"), 2), DataBlock(FromHex("00 62"), -2)},
       smiley},
      {"blob header fetches everything",
       FromHex("C0 08 00 00 00 03"),
       {DataBlock("abc", -3)},
       u"abc"},
      {"blob header with inline part",
       FromHex("C0 09 00 00 00 03 01 61"),
       {DataBlock("bc", -2)},
       u"abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld server;
    LoadRow(server, c.row);
    for (const auto& answer : c.answers) server.channel.PushInput(answer);
    EXPECT_EQ(server.row.ReadValue(1, dtWideString, 0), TDBXValue(c.text));
    std::string requests;
    for (std::size_t i = 0; i < c.answers.size(); ++i) requests += MoreBlobRequest(1, 1);
    EXPECT_EQ(server.channel.Written(), requests);
    EXPECT_EQ(server.channel.Writes().size(), c.answers.size());  // each request is flushed
    EXPECT_EQ(server.row.ReadValue(0, dtWideString, 0), TDBXValue{});
  }
}

// The row carries the first c encoded bytes, the client the rest in two parts cut anywhere:
// a unit (and a surrogate pair) split between parts comes out whole.
TEST(RowBufferTest, JoinsPartsCutAnywhere) {
  const Text text = u"Servi\u00E7o \u20AC \U0001F600 fim";
  std::string encoded(text.size() * 2 + 1, '\0');
  std::size_t firstWide = 0;
  encoded.resize(TDBXStringEncoder::EncodedLength(text, firstWide));
  TDBXStringEncoder::Encode(text, firstWide, reinterpret_cast<std::uint8_t*>(encoded.data()));
  for (std::size_t inRow = 0; inRow <= encoded.size(); ++inRow) {
    for (std::size_t cut = inRow; cut <= encoded.size(); ++cut) {
      TRowWorld server;
      LoadRow(server, FromHex("50 00") + static_cast<char>(inRow) + encoded.substr(0, inRow));
      const std::string middle = encoded.substr(inRow, cut - inRow);
      const std::string last = encoded.substr(cut);
      if (!middle.empty())  // a count of 0 would end the value
        server.channel.PushInput(DataBlock(middle, static_cast<std::int64_t>(middle.size())));
      server.channel.PushInput(DataBlock(last, -static_cast<std::int64_t>(last.size())));
      EXPECT_EQ(server.row.ReadValue(0, dtWideString, 0), TDBXValue(text)) << inRow << " " << cut;
    }
  }
}

TEST(RowBufferTest, NumbersEachContinuedValueAndFetchesBytes) {
  TRowWorld server;
  LoadRow(server, FromHex("50 00 01 61 50 00 02 01 02 21 7A"));
  server.channel.PushInput(DataBlock("b", -1));
  server.channel.PushInput(DataBlock(FromHex("03 04"), 2) + DataBlock(FromHex("05"), -1));
  EXPECT_EQ(server.row.ReadValue(0, dtWideString, 0), TDBXValue(Text(u"ab")));
  EXPECT_EQ(server.row.ReadValue(1, dtBinaryBlob, 0), TDBXValue(TDBXBytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(server.row.ReadValue(2, dtWideString, 0), TDBXValue(Text(u"z")));
  EXPECT_EQ(server.channel.Written(),
            MoreBlobRequest(1, 0) + MoreBlobRequest(2, 1) + MoreBlobRequest(2, 1));

  // The client serves a value once: reading it again is an error, not a shorter value.
  const std::string again = ErrorOf([&] { server.row.ReadValue(0, dtWideString, 0); });
  EXPECT_TRUE(StartsWith(again, kAlreadyFetched)) << again;
  // A new row starts afresh; the blob handles keep counting.
  LoadRow(server, FromHex("50 00 01 61"));
  server.channel.ClearWritten();
  server.channel.PushInput(DataBlock("", 0));
  EXPECT_EQ(server.row.ReadValue(0, dtWideString, 0), TDBXValue(Text(u"a")));
  EXPECT_EQ(server.channel.Written(), MoreBlobRequest(3, 0));
}

TEST(RowBufferTest, RefusesBrokenContinuationAnswers) {
  struct Case {
    const char* name;
    std::string answer;
    std::string_view message;  // empty: the stream's own error
  };
  const Case cases[] = {
      {"error object", "{\"error\":{\"name\":\"x\",\"code\":1,\"message\":\"m\"}",
       kNoDataBlockAnswer},
      {"other key", "{\"rows\":[0]}", kNoDataBlockAnswer},
      {"positive count without bytes", "{\"data\":[3]}", kNoDataBlockAnswer},
      {"stray token after count", "{\"data\":[0:]}", kNoDataBlockAnswer},
      {"bytes missing at the end", "{\"data\":[-5,ab", ""},
      {"not json", "garbage", ""},
      {"missing array end", "{\"data\":[-1,ab]}", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRowWorld server;
    LoadRow(server, FromHex("50 00 01 61"));
    server.channel.PushInput(c.answer);
    const std::string error = ErrorOf([&] { server.row.ReadValue(0, dtWideString, 0); });
    if (c.message.empty())
      EXPECT_NE(error, "<no error>");
    else
      EXPECT_TRUE(StartsWith(error, c.message)) << error;
  }
}

TEST(RowBufferTest, StopsContinuedValuesAtTheCap) {
  // One part announcing one byte more than the cap allows is refused before its bytes are read:
  // none follow, and no read error comes.
  {
    TRowWorld server;
    LoadRow(server, FromHex("50 00 01 61"));
    server.channel.PushInput("{\"data\":[1000,");
    server.channel.PushInput(std::string(1000, 'b') + "]}");
    server.channel.PushInput("{\"data\":[" + std::to_string(kMaxContinuedValueBytes - 1000) + ",");
    const std::string error = ErrorOf([&] { server.row.ReadValue(0, dtWideString, 0); });
    EXPECT_TRUE(StartsWith(error, kUnexpectedGrowth)) << error;
  }
  {
    TRowWorld server;
    LoadRow(server, FromHex("50 00 01 61"));
    server.channel.PushInput("{\"data\":[" + std::to_string(INT32_MIN) + ",");
    const std::string error = ErrorOf([&] { server.row.ReadValue(0, dtWideString, 0); });
    EXPECT_TRUE(StartsWith(error, kUnexpectedGrowth)) << error;
  }
  // A blob announcing more than the cap is refused before anything is asked.
  {
    TRowWorld server;
    LoadRow(server, FromHex("08 04 00 00 01"));
    const std::string error = ErrorOf([&] { server.row.ReadValue(0, dtBinaryBlob, 0); });
    EXPECT_TRUE(StartsWith(error, kUnexpectedGrowth)) << error;
    EXPECT_EQ(server.channel.Written(), "");
  }
  // Exactly at the cap the value arrives whole.
  {
    TRowWorld server;
    LoadRow(server, FromHex("50 00 01 61"));
    const int part = 1 << 20;
    const int parts = static_cast<int>(kMaxContinuedValueBytes / part);
    const std::string bytes(part, 'b');
    for (int i = 0; i < parts; ++i) {
      const bool last = i == parts - 1;
      const int length = last ? part - 1 : part;
      server.channel.PushInput("{\"data\":[" + std::to_string(last ? -length : length) + ",");
      for (int at = 0; at < length; at += 1 << 16)
        server.channel.PushInput(std::string_view(bytes).substr(0, std::min(1 << 16, length - at)));
      server.channel.PushInput("]}");
    }
    const TDBXValue value = server.row.ReadValue(0, dtBinaryBlob, 0);
    EXPECT_EQ(std::get<TDBXBytes>(value).size(), static_cast<std::size_t>(kMaxContinuedValueBytes));
  }
}

// The client asks for the rest of a returned value with more_blob requests of its own, naming
// its command, and reads the server's wrapped replies with their blank-padded counts.
TEST(RowBufferTest, ClientRoleFetchesContinuationsWithItsOwnRequests) {
  TRowWorld client(kJSonTransportBufferSize, true);
  client.row.SetCommandHandle(3);
  LoadRow(client, FromHex("C0 50 00 02 61 62"));
  client.channel.PushInput("{\"result\":[{\"data\":[2        ,cd]}]}");
  client.channel.PushInput("{\"result\":[{\"data\":[-1       ,e]}]}");
  const TDBXValue value = client.row.ReadValue(1, dtWideString, 0);
  EXPECT_EQ(std::get<Text>(value), u"abcde");
  const std::string request = R"({"method":"more_blob","params":[3,1,0,1,true,0]})";
  EXPECT_EQ(client.channel.Written(), request + request);
  EXPECT_EQ(client.channel.Writes().size(), 2u);  // each request flushed by itself
}

TEST(RowBufferTest, ClientRoleRaisesTheServersErrorReplyDuringAContinuation) {
  TRowWorld client(kJSonTransportBufferSize, true);
  LoadRow(client, FromHex("50 00 01 61"));
  client.channel.PushInput(
      R"({"error":{"name":"TDBXError","code":29,"message":"Remote error: Invalid command handle:  -1"})");
  try {
    client.row.ReadValue(0, dtWideString, 0);
    ADD_FAILURE() << "no error";
  } catch (const TDBXRemoteError& e) {
    EXPECT_EQ(e.ErrorCode(), 29);
    EXPECT_EQ(e.Name(), u"TDBXError");
    EXPECT_EQ(e.Message(), u"Remote error: Invalid command handle:  -1");
  }
}

TEST(RowBufferTest, ChannelLostDuringContinuationPassesThrough) {
  TRowWorld server;
  LoadRow(server, FromHex("50 00 01 61"));
  server.channel.PushInput("{\"data\":[5,ab");
  const std::string error = ErrorOf([&] { server.row.ReadValue(0, dtWideString, 0); });
  EXPECT_EQ(error, "Connection lost");
}

namespace {

// A call of the server: a row whose text continues through more_blob, then a reply row with a
// long text, as SignDocument's batch makes them; AAfter leaves bytes behind before the release.
struct TIdleCase {
  const char* Name;
  std::function<void(TRowWorld&)> After;
  bool ReaderKeeps;
  bool WriterKeeps;
  bool RowKeeps;
};

}  // namespace

TEST(RowBufferTest, BetweenRequestsOnlyBuffersHoldingBytesAreKept) {
  const std::string document(100000, 'x');
  const std::vector<TIdleCase> cases = {
      {"call answered", [](TRowWorld&) {}, false, false, false},
      {"next request already read in",
       [](TRowWorld& AWorld) {
         AWorld.channel.PushInput(
             DataBlock("\x26"
                       "ab"));
         AWorld.reader.Next(jtObjectStart);
       },
       true, false, false},
      {"reply bytes not flushed", [](TRowWorld& AWorld) { AWorld.writer.WriteObjectStart(); },
       false, true, false},
      {"row being written", [](TRowWorld& AWorld) { AWorld.row.WriteNull(); }, false, false, true},
  };
  for (const TIdleCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRowWorld world;
    const std::size_t inlinePart = 1000;
    world.channel.PushInput(DataBlock(FromHex("50 03 E8") + document.substr(0, inlinePart)));
    world.channel.PushInput(DataBlock(document.substr(inlinePart),
                                      -static_cast<std::int64_t>(document.size() - inlinePart)));
    ReadDataBlock(world);
    EXPECT_TRUE(std::get<Text>(world.row.ReadValue(0, dtWideString, 0)) ==
                text::FromLatin1(document));
    world.row.Clear();
    world.row.WriteString(text::FromLatin1(document));
    world.row.WriteData();
    world.writer.Flush();
    ASSERT_FALSE(world.row.TakeContinuations().Empty());
    c.After(world);

    world.reader.ReleaseIdleBuffer();
    world.writer.ReleaseIdleBuffer();
    world.row.ReleaseIdleBuffer();
    EXPECT_EQ(world.reader.HoldsBuffer(), c.ReaderKeeps);
    EXPECT_EQ(world.writer.HoldsBuffer(), c.WriterKeeps);
    EXPECT_EQ(world.row.BufferCapacity() > 0, c.RowKeeps);
  }
}

TEST(RowBufferTest, ReleasedBuffersAreMadeAgainByTheNextRequest) {
  TRowWorld world;
  LoadRow(world, FromHex("23 61 62 63"));
  world.reader.ReleaseIdleBuffer();
  world.writer.ReleaseIdleBuffer();
  world.row.ReleaseIdleBuffer();
  ASSERT_FALSE(world.reader.HoldsBuffer());
  ASSERT_EQ(world.row.BufferCapacity(), 0u);

  LoadRow(world, FromHex("23 64 65 66 C0"));
  EXPECT_TRUE(std::get<Text>(world.row.ReadValue(0, dtWideString, 0)) == u"def");
  EXPECT_TRUE(IsNull(world.row.ReadValue(1, dtWideString, 0)));
  world.row.Clear();
  world.row.WriteString(u"ghi");
  world.row.WriteData();
  world.writer.Flush();
  EXPECT_TRUE(world.channel.Written().ends_with("{\"data\":[4,\x23ghi]}"))
      << world.channel.Written();
}
