#include "transport/stream/json_stream_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/hex_bytes.h"
#include "tests/support/memory_channel.h"
#include "transport/dbx_error.h"

namespace {

using test_support::FromHex;

std::vector<std::size_t> Sizes(const std::vector<std::string>& writes) {
  std::vector<std::size_t> sizes;
  for (const auto& w : writes) sizes.push_back(w.size());
  return sizes;
}

// The result reply carrying N, o-acute, CR, "ok" in quotes and the euro sign.
const Text kReplyValue = u"N\u00F3\r\"ok\"\u20AC";
const std::string kReplyBytes = FromHex(
    "7b 22 72 65 73 75 6c 74 22 3a 5b 22 4e f3 5c 72 5c 22 6f 6b 5c 22 5c 75 32 30 41 43 22 5d 7d");

void WriteReply(TDBXJSonStreamWriter& writer) {
  writer.WriteResultObjectStart();
  writer.WriteString(kReplyValue);
  writer.WriteArrayEnd();
  writer.WriteObjectEnd();
  writer.Flush();
}

// A byte stream serving a fixed content in the pieces it is asked for.
class TFixedByteStream : public TDBXByteStream {
 public:
  explicit TFixedByteStream(std::string content, bool minusOneAtEnd = false)
      : FContent(std::move(content)), FMinusOneAtEnd(minusOneAtEnd) {}
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override {
    const int n = std::min<int>(Count, static_cast<int>(FContent.size() - FPosition));
    if (n == 0 && FMinusOneAtEnd) return -1;
    std::memcpy(Buffer.data() + Offset, FContent.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += static_cast<std::size_t>(n);
    return n;
  }
  bool Eos() const override { return FPosition == FContent.size(); }

 private:
  std::string FContent;
  bool FMinusOneAtEnd;
  std::size_t FPosition = 0;
};

// A channel whose next writes fail, either by throwing or by reporting -1.
class TFailingWriteChannel : public TMemoryChannel {
 public:
  int FailuresLeft = 1;
  bool Throw = false;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override {
    if (FailuresLeft > 0) {
      --FailuresLeft;
      if (Throw) throw TDBXError(0, "Connection lost");
      return -1;
    }
    return TMemoryChannel::Write(Buffer, Offset, Count);
  }
};

}  // namespace

TEST(JsonStreamWriter, WritesResultReplyInOneWriteAtFlush) {
  TMemoryChannel channel;
  TDBXJSonStreamWriter writer(channel);
  WriteReply(writer);
  ASSERT_EQ(kReplyBytes.size(), 31u);
  EXPECT_EQ(channel.Writes(), std::vector<std::string>{kReplyBytes});
}

TEST(JsonStreamWriter, WriteStringEncodesLatin1AndEscapesTheRest) {
  struct Case {
    const char* name;
    Text in;
    std::string out;
  };
  const Case cases[] = {
      {"empty", u"", "\"\""},
      {"e-acute raw", u"\u00E9", "\"\xE9\""},
      {"y-diaeresis raw", u"\u00FF", "\"\xFF\""},
      {"U+0100 escaped", u"\u0100", "\"\\u0100\""},
      {"DEL and C1 raw", u"\u007F\u0080\u009F", "\"\x7F\x80\x9F\""},
      {"short escapes", u"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {"other controls", Text(u"\u0000\u0001\u000B\u001F", 4), "\"\\u0000\\u0001\\u000B\\u001F\""},
      {"quote and backslash", u"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"slash raw", u"a/b", "\"a/b\""},
      {"blank raw", u" ", "\" \""},
      {"surrogates one by one", u"\U0001F600", "\"\\uD83D\\uDE00\""},
      {"upper-case hex", u"\uABCD\uFFFF", "\"\\uABCD\\uFFFF\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel);
    writer.WriteString(c.in);
    writer.Flush();
    EXPECT_EQ(channel.Written(), c.out);
  }
}

TEST(JsonStreamWriter, WritesIntegersAsPlainDecimal) {
  struct Case {
    std::int64_t value;
    bool wide;
    std::string out;
  };
  const Case cases[] = {
      {0, false, "0"},
      {7, false, "7"},
      {-1, false, "-1"},
      {1000, false, "1000"},
      {2147483647, false, "2147483647"},
      {-2147483648LL, false, "-2147483648"},
      {0, true, "0"},
      {-42, true, "-42"},
      {9223372036854775807LL, true, "9223372036854775807"},
      {INT64_MIN, true, "-9223372036854775808"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel);
    if (c.wide)
      writer.WriteLong(c.value);
    else
      writer.WriteInt(static_cast<std::int32_t>(c.value));
    writer.Flush();
    EXPECT_EQ(channel.Written(), c.out);
  }
}

TEST(JsonStreamWriter, CompositeOperationsWriteTheirShapes) {
  const std::vector<std::uint8_t> data{'a', '}', '"'};
  struct Case {
    const char* name;
    std::function<void(TDBXJSonStreamWriter&)> write;
    std::string out;
    bool flushes;
  };
  const Case cases[] = {
      {"result void", [](auto& w) { w.WriteResultVoidObject(); }, "{\"result\":[]}", true},
      {"result value", [](auto& w) { w.WriteResultObject(-5); }, "{\"result\":[-5]}", true},
      {"result start and end",
       [](auto& w) {
         w.WriteResultObjectStart();
         w.WriteArrayEnd();
         w.WriteResultEnd();
       },
       "{\"result\":[]}", false},
      {"rpc error, one closing brace",
       [](auto& w) { w.WriteRpcError(u"Exception", 5, {}, u"Remote error: M"); },
       "{\"error\":{\"name\":\"Exception\",\"code\":5,\"message\":\"Remote error: M\"}", false},
      {"rpc error with name/value pairs",
       [](auto& w) {
         w.WriteRpcError(u"TDBXError", 30, {{u"a", u"b"}}, u"x");
       },
       "{\"error\":{\"name\":\"TDBXError\",\"code\":30,\"message\":\"x\",\"error\":{}}", false},
      {"data object", [&](auto& w) { w.WriteDataObject(data, 3); }, "{\"data\":[3,a}\"]}", false},
      {"server more_blob", [](auto& w) { w.WriteServerMoreBlobObject(-1, 0, 1, 5000000000LL, 2); },
       "{\"more_blob\":[-1,2,5000000000,1,0]}", true},
      {"server next", [](auto& w) { w.WriteServerNextObject(2, 3, 4); }, "{\"next\":[2,4,3]}",
       false},
      {"parameters start", [](auto& w) { w.WriteParametersObjectStart(3); }, "{\"parameters\":[3",
       false},
      {"metadata", [](auto& w) { w.WriteMetadata("{\"a\":1}"); }, "{\"metadata\":[7,{\"a\":1}]}",
       false},
      {"callback", [](auto& w) { w.WriteCallback("[]"); }, "{\"callback\":[2,[]]}", false},
      {"handle object", [](auto& w) { w.WriteHandleObject(7); }, "{\"handle\":[7]}", false},
      {"object starts",
       [](auto& w) {
         w.WriteTableObjectStart();
         w.WriteColumnsObjectStart();
         w.WriteFieldsObjectStart();
         w.WriteRowsObjectStart();
         w.WriteSessionObjectStart();
         w.WriteDataObjectStart();
       },
       "{\"table\":[{\"columns\":[{\"fields\":[{\"rows\":[{\"session\":[{\"data\":[", false},
      {"primitives",
       [](auto& w) {
         w.WriteObjectStart();
         w.WriteParamsStart();
         w.WriteNamedString(u"a", u"b");
         w.WriteValueSeparator();
         w.WriteSpace();
         w.WriteBoolean(true);
         w.WriteBoolean(false);
         w.WriteNull();
         w.WriteArrayStart();
         w.WriteArrayEnd();
         w.WriteNameSeparator();
         w.WriteObjectEnd();
       },
       "{\"params\":[\"a\":\"b\", truefalsenull[]:}", false},
      {"writes nothing",
       [](auto& w) {
         w.WriteSignature();
         w.WriteFloat(1.5f);
         w.WriteDouble(2.5);
         w.Close();
       },
       "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel);
    c.write(writer);
    EXPECT_EQ(channel.Writes().size(), c.flushes ? 1u : 0u);
    writer.Flush();
    EXPECT_EQ(channel.Written(), c.out);
  }
}

TEST(JsonStreamWriter, FullBufferLeavesOnlyWhenTheNextByteNeedsRoom) {
  {
    SCOPED_TRACE("reply of exactly the buffer size");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 31);
    WriteReply(writer);
    EXPECT_EQ(channel.Writes(), std::vector<std::string>{kReplyBytes});
  }
  {
    SCOPED_TRACE("one byte more than the buffer");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 30);
    writer.WriteResultObjectStart();
    writer.WriteString(kReplyValue);
    writer.WriteArrayEnd();
    EXPECT_TRUE(channel.Writes().empty());
    writer.WriteObjectEnd();
    EXPECT_EQ(Sizes(channel.Writes()), (std::vector<std::size_t>{30}));
    writer.Flush();
    EXPECT_EQ(Sizes(channel.Writes()), (std::vector<std::size_t>{30, 1}));
    EXPECT_EQ(channel.Written(), kReplyBytes);
  }
  {
    SCOPED_TRACE("empty flush");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel);
    writer.Flush();
    EXPECT_EQ(channel.Writes(), std::vector<std::string>{""});
  }
}

TEST(JsonStreamWriter, SameBytesWhateverTheBufferSize) {
  Text value;
  for (char16_t c = 0; c < 0x140; ++c) value.push_back(c);
  const std::vector<std::uint8_t> data(100, 0xAB);
  std::string expected;
  for (int size : {1, 2, 3, 5, 16, 31, 64, 1000, 0}) {
    SCOPED_TRACE(size);
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, size);
    writer.WriteResultObjectStart();
    writer.WriteString(value);
    writer.WriteValueSeparator();
    writer.WriteDataObject(data, 100);
    writer.WriteValueSeparator();
    writer.WriteLong(INT64_MIN);
    writer.WriteArrayEnd();
    writer.WriteObjectEnd();
    writer.Flush();
    if (expected.empty()) expected = channel.Written();
    EXPECT_EQ(channel.Written(), expected);
    const auto writes = channel.Writes();
    const std::size_t capacity = size == 0 ? 8192 : static_cast<std::size_t>(size);
    for (std::size_t i = 0; i + 1 < writes.size(); ++i) EXPECT_EQ(writes[i].size(), capacity);
  }
}

TEST(JsonStreamWriter, LargeDataLeavesInBufferSizedWrites) {
  TMemoryChannel channel;
  TDBXJSonStreamWriter writer(channel, 32);
  const std::vector<std::uint8_t> data(100, 'x');
  writer.WriteObjectStart();
  writer.WriteDataBytes(data, 0, 100);
  EXPECT_EQ(Sizes(channel.Writes()), (std::vector<std::size_t>{32, 32, 32}));
  writer.Flush();
  EXPECT_EQ(Sizes(channel.Writes()), (std::vector<std::size_t>{32, 32, 32, 5}));
  EXPECT_THROW(writer.WriteDataBytes(data, 90, 11), TDBXError);
  EXPECT_THROW(writer.WriteDataBytes(data, -1, 1), TDBXError);
}

TEST(JsonStreamWriter, RowBufferSizeLeavesRoomForTheReplyFrame) {
  TMemoryChannel channel;
  EXPECT_EQ(TDBXJSonStreamWriter(channel).CalcRowBufferSize(), 30720);
  EXPECT_EQ(TDBXJSonStreamWriter(channel, 2048).CalcRowBufferSize(), 0);
  EXPECT_EQ(TDBXJSonStreamWriter(channel, 1000).CalcRowBufferSize(), 1000);
}

TEST(JsonStreamWriter, DataObjectFromStreamPadsTheCount) {
  {
    SCOPED_TRACE("full piece of the more_blob reply");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 64);
    TFixedByteStream stream(std::string(100, 'q'));
    writer.WriteResultObjectStart();
    EXPECT_FALSE(writer.WriteDataObject(stream));  // asks for 64 - 19 - 13 = 32 bytes
    writer.WriteArrayEnd();
    writer.WriteObjectEnd();
    writer.Flush();
    EXPECT_EQ(channel.Writes(),
              (std::vector<std::string>{
                  "{\"result\":[{\"data\":[32       ," + std::string(32, 'q') + "]}", "]}"}));
  }
  {
    SCOPED_TRACE("the 32000-byte piece");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 32021);
    TFixedByteStream stream(std::string(40000, 'z'));
    EXPECT_FALSE(writer.WriteDataObject(stream));
    EXPECT_EQ(channel.Written(), "{\"data\":[32000    ," + std::string(32000, 'z') + "]}");
  }
  struct Case {
    const char* name;
    std::string content;
    bool minusOne;
    std::string out;
  };
  const Case cases[] = {
      {"short last piece", std::string(17, 'b'), false,
       "{\"data\":[-17      ," + std::string(17, 'b') + "]}"},
      {"last piece filling the room", std::string(43, 'c'), false,
       "{\"data\":[-43      ," + std::string(43, 'c') + "]}"},
      {"empty stream", "", false, "{\"data\":[0        ,]}"},
      {"stream answering -1 at its end", "", true, "{\"data\":[0        ,]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 64);
    TFixedByteStream stream(c.content, c.minusOne);
    EXPECT_TRUE(writer.WriteDataObject(stream));
    EXPECT_EQ(channel.Writes(), std::vector<std::string>{c.out});
  }
}

TEST(JsonStreamWriter, DataObjectFromStreamNeverOverrunsTheBuffer) {
  {
    SCOPED_TRACE("too little room left: pending bytes leave first");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 40);
    writer.WriteDataBytes(std::vector<std::uint8_t>(20, 'p'), 0, 20);
    TFixedByteStream stream(std::string(50, 'd'));
    EXPECT_FALSE(writer.WriteDataObject(stream));
    EXPECT_EQ(channel.Writes(),
              (std::vector<std::string>{std::string(20, 'p'),
                                        "{\"data\":[19       ," + std::string(19, 'd') + "]}"}));
  }
  {
    SCOPED_TRACE("buffer too small for any block");
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel, 21);
    TFixedByteStream stream("abc");
    EXPECT_THROW(writer.WriteDataObject(stream), TDBXError);
    writer.Flush();
    EXPECT_EQ(channel.Written(), "");
  }
  {
    SCOPED_TRACE("failing stream takes its block start back");
    class TThrowingByteStream : public TDBXByteStream {
     public:
      int Read(std::span<std::uint8_t>, int, int) override {
        throw TDBXError(0, "Connection lost");
      }
      bool Eos() const override { return false; }
    };
    TMemoryChannel channel;
    TDBXJSonStreamWriter writer(channel);
    TThrowingByteStream stream;
    writer.WriteResultObjectStart();
    EXPECT_THROW(writer.WriteDataObject(stream), TDBXError);
    writer.Flush();
    EXPECT_EQ(channel.Written(), "{\"result\":[");
  }
}

TEST(JsonStreamWriter, FailedWriteKeepsTheBuffer) {
  for (const bool throws : {true, false}) {
    SCOPED_TRACE(throws ? "throwing channel" : "channel answering -1");
    TFailingWriteChannel channel;
    channel.Throw = throws;
    TDBXJSonStreamWriter writer(channel);
    writer.WriteResultObjectStart();
    writer.WriteString(kReplyValue);
    writer.WriteArrayEnd();
    writer.WriteObjectEnd();
    try {
      writer.Flush();
      FAIL() << "no error";
    } catch (const TDBXError& e) {
      EXPECT_EQ(e.ErrorCode(), throws ? 0 : 1);
      EXPECT_STREQ(e.what(), throws ? "Connection lost" : "Write error");
    }
    writer.Flush();
    EXPECT_EQ(channel.Written(), kReplyBytes);
  }
}
