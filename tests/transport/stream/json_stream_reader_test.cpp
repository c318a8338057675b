#include "transport/stream/json_stream_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/error_of.h"
#include "tests/support/hex_bytes.h"
#include "tests/support/memory_channel.h"
#include "transport/dbx_error.h"

namespace {

using test_support::FromHex;

const std::string kVendorPropertyRequest = FromHex(
    "7b 22 6d 65 74 68 6f 64 22 3a 22 76 65 6e 64 6f 72 5f 70 72 6f 70 65 72 74 79 22 2c 22 70 61 "
    "72 61 6d 73 22 "
    "3a 5b 22 45 78 61 6d 70 6c 65 22 5d 7d");

// A reader over scripted input: each chunk arrives as if in its own packet.
struct TReaderWorld {
  explicit TReaderWorld(const std::vector<std::string>& chunks,
                        int bufferSize = kJSonTransportBufferSize) {
    for (const auto& c : chunks) channel.PushInput(c);
    reader = std::make_unique<TDBXJSonStreamReader>(channel, bufferSize);
  }
  TMemoryChannel channel;
  std::unique_ptr<TDBXJSonStreamReader> reader;
};

std::vector<std::string> OneByteChunks(std::string_view bytes) {
  std::vector<std::string> chunks;
  for (const char c : bytes) chunks.emplace_back(1, c);
  return chunks;
}

// How the command level reads a vendor_property request.
void ReadVendorProperty(TDBXJSonStreamReader& reader) {
  EXPECT_EQ(reader.ReadMethod(), scVendorProperty);
  EXPECT_EQ(reader.ReadParams(), jtArrayStart);
  EXPECT_EQ(reader.ReadString(), u"Example");
  reader.SkipToEndOfObject();
  EXPECT_FALSE(reader.HasMoreBytes());
}

}  // namespace

TEST(JsonStreamReader, ReadsVendorPropertyRequestFromOneRead) {
  ASSERT_EQ(kVendorPropertyRequest.size(), 49u);
  TReaderWorld world({kVendorPropertyRequest});
  ReadVendorProperty(*world.reader);
  EXPECT_EQ(world.channel.ReadCalls(), 1);
}

TEST(JsonStreamReader, ReadsRequestSplitAnywhere) {
  for (std::size_t cut = 1; cut < kVendorPropertyRequest.size(); ++cut) {
    SCOPED_TRACE(cut);
    TReaderWorld world({kVendorPropertyRequest.substr(0, cut), kVendorPropertyRequest.substr(cut)});
    ReadVendorProperty(*world.reader);
  }
  {
    SCOPED_TRACE("one byte per read");
    TReaderWorld world(OneByteChunks(kVendorPropertyRequest));
    ReadVendorProperty(*world.reader);
  }
  for (int size : {1, 2, 3, 7, 48}) {
    SCOPED_TRACE(size);
    TReaderWorld world({kVendorPropertyRequest}, size);
    ReadVendorProperty(*world.reader);
  }
}

TEST(JsonStreamReader, ToleratesWhitespaceBetweenTokens) {
  TReaderWorld world({" \r\n\t{ \"method\" :\t\"prepare\" ,\n \"params\" : [ -1 ] }"});
  auto& r = *world.reader;
  EXPECT_EQ(r.ReadMethod(), scPrepare);
  EXPECT_EQ(r.StringValue(), u"prepare");
  EXPECT_EQ(r.ReadParams(), jtArrayStart);
  r.SkipToEndOfArray();
  EXPECT_EQ(r.Next(), jtObjectEnd);
}

TEST(JsonStreamReader, ClassifiesTokens) {
  TReaderWorld world({" {\t}\r[\n] : , true false null \"x\" 5"});
  auto& r = *world.reader;
  for (int kind : {jtObjectStart, jtObjectEnd, jtArrayStart, jtArrayEnd, jtNameSeparator,
                   jtValueSeparator, jtTrue})
    EXPECT_EQ(r.Next(), kind);
  EXPECT_TRUE(r.GetBooleanValue());
  EXPECT_EQ(r.Next(), jtFalse);
  EXPECT_FALSE(r.GetBooleanValue());
  EXPECT_EQ(r.Next(), jtNull);
  EXPECT_EQ(r.Next(), jtStringStart);
  EXPECT_EQ(r.ReadString(), u"x");
  EXPECT_EQ(r.Token(), jtString);
  EXPECT_EQ(r.Next(), jtNumber);
}

TEST(JsonStreamReader, ReadsNumbersAsWritten) {
  struct Case {
    std::string in;
    bool wide;
    std::int64_t value;
    int tokenAfter;
  };
  const Case cases[] = {
      {"[-12,", false, -12, jtValueSeparator},
      {"[+7]", false, 7, jtArrayEnd},
      {"[]", false, 0, jtArrayEnd},
      {"[0]", false, 0, jtArrayEnd},
      {"[2147483647]", false, 2147483647, jtArrayEnd},
      {"[-2147483648]", false, INT32_MIN, jtArrayEnd},
      {"[2147483648]", false, INT32_MIN, jtArrayEnd},  // wraps around
      {"[4294967297]", false, 1, jtArrayEnd},          // wraps around
      {"[1.5]", false, 85, jtArrayEnd},                // '.' counts as -2
      {"[1e3]", false, 633, jtArrayEnd},               // 'e' counts as 53
      {"[--1]", false, 29, jtArrayEnd},
      {"[5000000000]", true, 5000000000LL, jtArrayEnd},
      {"[-9223372036854775808]", true, INT64_MIN, jtArrayEnd},
      {"[9223372036854775808]", true, INT64_MIN, jtArrayEnd},
      {"[18446744073709551617]", true, 1, jtArrayEnd},
      {"[]", true, 0, jtArrayEnd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    for (const auto& chunks : {std::vector<std::string>{c.in + "}"}, OneByteChunks(c.in + "}")}) {
      TReaderWorld world(chunks);
      auto& r = *world.reader;
      EXPECT_EQ(r.Next(jtArrayStart), jtArrayStart);
      EXPECT_EQ(c.wide ? r.ReadLong() : r.ReadInt(), c.value);
      EXPECT_EQ(r.Next(), c.tokenAfter);
    }
  }
}

TEST(JsonStreamReader, ReadsStringsWithEscapes) {
  struct Case {
    const char* name;
    std::string body;  // between the quotes
    Text value;
  };
  const Case cases[] = {
      {"plain", "Example", u"Example"},
      {"empty", "", u""},
      {"escaped quote", "a\\\"b", u"a\"b"},
      {"backslash and slash", "\\\\\\/", u"\\/"},
      {"short escapes", "\\b\\f\\n\\r\\t", u"\b\f\n\r\t"},
      {"any other escaped byte", "\\q\\'", u"q'"},
      {"unicode upper", "\\u20AC", u"\u20AC"},
      {"unicode lower", "\\u00e9", u"\u00E9"},
      {"surrogate pair", "\\uD83D\\uDE00", u"\U0001F600"},
      {"unicode zero", "\\u0000", Text(1, u'\0')},
      {"non-hex digits count as 0", "\\uZZ12", u"\u0012"},
      {"raw latin-1", "\xE9\x80\xFF", u"\u00E9\u0080\u00FF"},
      {"raw braces", "{}[],:", u"{}[],:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = "[\"" + c.body + "\"]";
    for (const auto& chunks : {std::vector<std::string>{in}, OneByteChunks(in)}) {
      {
        TReaderWorld world(chunks);
        EXPECT_EQ(world.reader->ReadString(), c.value);  // moves to the quote by itself
        EXPECT_EQ(world.reader->Next(), jtArrayEnd);
      }
      {
        TReaderWorld world(chunks);
        world.reader->Next(jtArrayStart);
        EXPECT_EQ(world.reader->Next(), jtStringStart);
        EXPECT_EQ(world.reader->ReadString(), c.value);
        EXPECT_EQ(world.reader->Next(), jtArrayEnd);
      }
    }
  }
}

TEST(JsonStreamReader, ClassifiesMethodNamesExactly) {
  struct Case {
    const char* word;
    int code;
  };
  const Case cases[] = {
      {"result", 2},        {"error", 3},
      {"connect", 4},       {"disconnect", 5},
      {"prepare", 7},       {"execute", 8},
      {"command_close", 9}, {"reader_close", 10},
      {"rows", 11},         {"table", 12},
      {"columns", 13},      {"session", 14},
      {"data", 15},         {"next", 16},
      {"handle", 17},       {"fields", 18},
      {"parameters", 19},   {"txbegin", 20},
      {"txend", 21},        {"more_blob", 22},
      {"next_result", 23},  {"vendor_property", 24},
      {"callback", 25},     {"metadata", 26},
      {"Connect", 1},       {"", 1},
      {"execute ", 1},      {"vendor_propertyx", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    TReaderWorld world({std::string("{\"method\":\"") + c.word + "\",\"params\":[]}"});
    EXPECT_EQ(world.reader->ReadMethod(), c.code);
    EXPECT_EQ(world.reader->StringCode(), c.code);
    TReaderWorld keyWorld({std::string("\"") + c.word + "\""});
    EXPECT_EQ(keyWorld.reader->ReadStringCode(), c.code);
  }
}

TEST(JsonStreamReader, FindsTheParamsKey) {
  struct Case {
    const char* name;
    std::string in;
    int token;
    int tokenAfter;
  };
  const Case cases[] = {
      {"usual", ",\"params\":[1]", jtArrayStart, jtNumber},
      {"blanks", " , \"params\" :\t[1]", jtArrayStart, jtNumber},
      {"no colon", ",\"params\"[1]", jtArrayStart, jtNumber},
      {"other key read as a string", ",\"paramx\":[1]", jtString, jtNameSeparator},
      {"other key with escaped quote", ",\"pax\\\"y\":[1]", jtString, jtNameSeparator},
      {"other byte passed over", "}{", jtObjectStart, jtObjectEnd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TReaderWorld world({c.in + "}"});
    EXPECT_EQ(world.reader->ReadParams(), c.token);
    EXPECT_EQ(world.reader->Next(), c.tokenAfter);
  }
}

TEST(JsonStreamReader, SkipsNestedStructuresWithStrings) {
  {
    TReaderWorld world({"\"a\":\"x\\\"}{[\",\"b\":[1,{\"c\":true}],\"d\":null}X"});
    world.reader->SkipToEndOfObject();
    EXPECT_EQ(world.reader->Next(), jtNumber);  // the X
  }
  {
    TReaderWorld world({"1,\"]\",[2,[3]],{\"]\":4}]}"});
    world.reader->SkipToEndOfArray();
    EXPECT_EQ(world.reader->Next(), jtObjectEnd);
  }
  {
    SCOPED_TRACE("deep nesting costs no stack");
    const std::size_t depth = 500000;
    const std::string in = std::string(depth, '[') + std::string(depth + 1, ']') + "}";
    TReaderWorld world({in});
    world.reader->SkipToEndOfArray();
    EXPECT_EQ(world.reader->Next(), jtObjectEnd);
  }
}

TEST(JsonStreamReader, ReadsDataBlockByCount) {
  const std::string block = std::string("{\"data\":[7,a}\"]\0\xFF,]}", 20);
  for (int size : {kJSonTransportBufferSize, 1, 3}) {
    for (const auto& chunks : {std::vector<std::string>{block}, OneByteChunks(block)}) {
      SCOPED_TRACE(size);
      TReaderWorld world(chunks, size);
      auto& r = *world.reader;
      EXPECT_EQ(r.Next(), jtObjectStart);
      EXPECT_EQ(r.ReadStringCode(), scData);
      r.Next(jtNameSeparator);
      r.Next(jtArrayStart);
      const int count = r.ReadInt();
      ASSERT_EQ(count, 7);
      r.NextValueSeparator();
      std::vector<std::uint8_t> data(10, '.');
      r.ReadDataBytes(data, 2, count);
      EXPECT_EQ(std::string(data.begin(), data.end()), std::string("..a}\"]\0\xFF,.", 10));
      EXPECT_EQ(r.Next(), jtArrayEnd);
      EXPECT_EQ(r.Next(), jtObjectEnd);
    }
  }
}

TEST(JsonStreamReader, RejectsDataCountsOutsideTheBuffer) {
  std::vector<std::uint8_t> data(10);
  for (const auto& [offset, count] : std::vector<std::pair<int, int>>{
           {0, -1}, {0, 11}, {5, 6}, {-1, 1}, {0, kJSonMaxDataBytes + 1}}) {
    SCOPED_TRACE(count);
    TReaderWorld world({"0123456789abcdef"});
    const auto [code, message] =
        ErrorOf([&] { world.reader->ReadDataBytes(data, offset, count); }).CodeAndUtf8();
    EXPECT_EQ(code, kJSonSyntaxErrorCode);
    EXPECT_EQ(message, "Invalid data byte count:  " + std::to_string(count));
  }
}

TEST(JsonStreamReader, SyntaxErrorsCarryTheirExactTexts) {
  struct Case {
    const char* name;
    std::string in;
    std::function<void(TDBXJSonStreamReader&)> read;
    std::string message;
  };
  const auto readInt = [](TDBXJSonStreamReader& r) {
    r.Next(jtArrayStart);
    r.ReadInt();
  };
  const auto readMethod = [](TDBXJSonStreamReader& r) { r.ReadMethod(); };
  const Case cases[] = {
      {"blank before a number", "[ 1]", readInt, "Unexpected byte at position:  1\n[ 1"},
      {"letter for a number", "[x]}", readInt, "Unexpected byte at position:  1\n[x]"},
      {"wrong token", "]x", [](auto& r) { r.NextValueSeparator(); },
       "Expected:  ',' found:  ']' at position:  0\n]"},
      {"boolean expected", "9]", [](auto& r) { r.ReadBoolean(); },
       "Expected:  'true' found:  '-+0-9.' at position:  0\n9"},
      {"string kinds named by a quote", "\"a\"]", [](auto& r) { r.Next(jtObjectStart); },
       "Expected:  '{' found:  '\"' at position:  0\n\"a\""},
      {"broken true", "trux]", [](auto& r) { r.Next(); }, "Expected:  'true at position:  3\ntrux"},
      {"broken false", "fals]", [](auto& r) { r.Next(); },
       "Expected:  'false at position:  4\nfals"},
      {"broken null", "nul]", [](auto& r) { r.Next(); }, "Expected:  'null at position:  3\nnul"},
      {"wrong method key", "{\"meth0d\":\"x\"}", readMethod,
       "Expected:  '\"method\" at position:  6\n{\"meth0d\":\"x\""},
      {"no key", "{}", readMethod, "Expected:  '\"method\" at position:  1\n{"},
      {"wrong letter after me", "{\"mex\":1}", readMethod,
       "Expected:  '\"method\" at position:  4\n{\"mex\":1"},
      {"wrong letter after met", "{\"metx\":1}", readMethod,
       "Expected:  '\"method\" at position:  5\n{\"metx\":1"},
      {"wrong metadata key", "{\"metadat\":[0]}", readMethod,
       "Expected:  '\"metadata\" at position:  9\n{\"metadat\":[0]"},
      {"missing colon", "{\"method\" \"x\"}", readMethod,
       "Expected:  ': at position:  10\n{\"method\" \"x\""},
      {"method name not a string", "{\"method\":x}", readMethod,
       "Expected:  '\" at position:  10\n{\"method\":x"},
      {"metadata without array", "{\"metadata\":0}", readMethod,
       "Expected:  '[ at position:  12\n{\"metadata\":0"},
      {"metadata without comma", "{\"metadata\":[2}]}", readMethod,
       "Expected:  ', at position:  14\n{\"metadata\":[2}]"},
      {"non-printable bytes", "{\"m\xE9\t\"}", readMethod,
       "Expected:  '\"method\" at position:  3\n{\"m#233#9\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TReaderWorld world({c.in, "[5]"});
    const auto [code, message] = ErrorOf([&] { c.read(*world.reader); }).CodeAndUtf8();
    EXPECT_EQ(code, kJSonSyntaxErrorCode);
    EXPECT_EQ(message, c.message);
    // The rest of the buffer is dropped; reading goes on with the next bytes received.
    EXPECT_FALSE(world.reader->HasMoreBytes());
    EXPECT_EQ(world.reader->Next(), jtArrayStart);
    EXPECT_EQ(world.reader->ReadInt(), 5);
  }
}

TEST(JsonStreamReader, ChannelFailuresSurface) {
  // A channel that answers every read with a fixed count.
  class TFixedReadChannel : public TMemoryChannel {
   public:
    explicit TFixedReadChannel(int result) : FResult(result) {}
    int Read(std::span<std::uint8_t>, int, int) override { return FResult; }

   private:
    int FResult;
  };
  for (const int result : {0, -1, 1000}) {
    SCOPED_TRACE(result);
    TFixedReadChannel channel(result);
    TDBXJSonStreamReader reader(channel, 100);
    const auto [code, message] = ErrorOf([&] { reader.Next(); }).CodeAndUtf8();
    EXPECT_EQ(code, kJSonReadErrorCode);
    EXPECT_EQ(message, "Read error");
  }
  {
    TReaderWorld world({"{\"meth"});
    const auto [code, message] = ErrorOf([&] { world.reader->ReadMethod(); }).CodeAndUtf8();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(message, "Connection lost");
    EXPECT_TRUE(world.reader->ConnectionLost());
  }
}

TEST(JsonStreamReader, TruncatedRequestEndsWithTheChannelError) {
  for (std::size_t length = 0; length < kVendorPropertyRequest.size(); ++length) {
    SCOPED_TRACE(length);
    TReaderWorld world({kVendorPropertyRequest.substr(0, length)});
    const auto [code, message] = ErrorOf([&] { ReadVendorProperty(*world.reader); }).CodeAndUtf8();
    EXPECT_EQ(message, "Connection lost");
  }
}

TEST(JsonStreamReader, DamagedRequestGivesCleanErrors) {
  for (std::size_t i = 0; i < kVendorPropertyRequest.size(); ++i) {
    for (const char bad : {'x', '\0', '}', '"', '\\', '[', 't', '-', ' '}) {
      std::string damaged = kVendorPropertyRequest;
      damaged[i] = bad;
      TReaderWorld world({damaged});
      auto& r = *world.reader;
      try {
        r.ReadMethod();
        r.ReadParams();
        r.ReadString();
        r.SkipToEndOfObject();
      } catch (const TDBXError& e) {
        EXPECT_TRUE(e.ErrorCode() == kJSonSyntaxErrorCode ||
                    std::string(e.what()) == "Connection lost")
            << i << " " << bad << ": " << e.what();
      }
    }
  }
}

TEST(JsonStreamReader, HandsOverInvocationMetadata) {
  const std::string message = "{\"metadata\":[7,{\"a\":1}]}";
  for (std::size_t cut = 1; cut < message.size(); ++cut) {
    SCOPED_TRACE(cut);
    TReaderWorld world({message.substr(0, cut), message.substr(cut)});
    std::vector<Text> received;
    world.reader->SetMetadataHandler([&](const Text& json) { received.push_back(json); });
    EXPECT_EQ(world.reader->ReadMethod(), scMetadata);
    world.reader->SkipToEndOfObject();
    EXPECT_EQ(received, std::vector<Text>{u"{\"a\":1}"});
    EXPECT_FALSE(world.reader->HasMoreBytes());
  }
  for (const std::string empty :
       {"{\"metadata\":[0]}", "{\"metadata\":[-5]}", "{\"metadata\":[]}"}) {
    SCOPED_TRACE(empty);
    TReaderWorld world({empty});
    bool called = false;
    world.reader->SetMetadataHandler([&](const Text&) { called = true; });
    EXPECT_EQ(world.reader->ReadMethod(), scMetadata);
    world.reader->SkipToEndOfObject();
    EXPECT_FALSE(called);
  }
  {
    SCOPED_TRACE("printable form");
    TReaderWorld world({"{\"metadata\":[3,\"\xE9\"]}"});
    Text received;
    world.reader->SetMetadataHandler([&](const Text& json) { received = json; });
    world.reader->ReadMethod();
    EXPECT_EQ(received, u"\"#233\"");
  }
}

TEST(JsonStreamReader, RejectsMetadataBeyondTheReadBuffer) {
  // The buffer has room for 17 bytes after the comma.
  for (const auto& [count, ok] :
       std::vector<std::pair<int, bool>>{{17, true}, {18, false}, {2147483647, false}}) {
    SCOPED_TRACE(count);
    const std::string head = "{\"metadata\":[" + std::to_string(count) + ",";
    TReaderWorld world({head + std::string(20, 'm') + "]}"}, static_cast<int>(head.size()) + 17);
    const auto [code, message] = ErrorOf([&] { world.reader->ReadMethod(); }).CodeAndUtf8();
    if (ok) {
      EXPECT_EQ(code, -1) << message;
    } else {
      EXPECT_EQ(code, kJSonSyntaxErrorCode);
      EXPECT_EQ(message.rfind("Expected:  '\"metadata\" at position:  " +
                                  std::to_string(head.size() - 1) + "\n",
                              0),
                0u)
          << message;
    }
  }
}

TEST(JsonStreamReader, BoundsStringLength) {
  // Chunks of one buffer each: the over-long string is refused, not stored.
  TMemoryChannel channel;
  channel.PushInput("\"");
  const std::string chunk(kJSonTransportBufferSize, 'a');
  for (std::size_t sent = 0; sent <= kJSonMaxStringLength; sent += chunk.size())
    channel.PushInput(chunk);
  TDBXJSonStreamReader reader(channel);
  const auto [code, message] = ErrorOf([&] { reader.ReadString(); }).CodeAndUtf8();
  EXPECT_EQ(code, kJSonSyntaxErrorCode);
  EXPECT_EQ(message.rfind("String too long at position:  ", 0), 0u);
}
