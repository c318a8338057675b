// Writer output read back by the reader, as the two ends of a connection see it.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/memory_channel.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"

namespace {

// Writes with one buffer size and reads with another, each write arriving as its own packet.
class JsonStreamRoundTrip : public ::testing::Test {
 protected:
  TMemoryChannel FOut;
  TDBXJSonStreamWriter FWriter{FOut, 1000};
  TMemoryChannel FIn;
  TDBXJSonStreamReader FReader{FIn, 77};

  TDBXJSonStreamReader& Deliver() {
    for (const auto& write : FOut.Writes()) FIn.PushInput(write);
    FOut.ClearWritten();
    return FReader;
  }
};

}  // namespace

TEST_F(JsonStreamRoundTrip, EveryCodeUnitSurvives) {
  Text all;
  for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) all.push_back(static_cast<char16_t>(unit));
  FWriter.WriteString(all);
  FWriter.WriteString(u"");
  FWriter.Flush();
  auto& reader = Deliver();
  EXPECT_EQ(reader.ReadString(), all);
  EXPECT_EQ(reader.ReadString(), u"");
}

TEST_F(JsonStreamRoundTrip, NumbersAndLiteralsSurvive) {
  const std::int32_t ints[] = {0, 1, -1, 7, -12, 2147483647, INT32_MIN};
  const std::int64_t longs[] = {0, -1, 5000000000LL, INT64_MAX, INT64_MIN};
  FWriter.WriteArrayStart();
  for (const auto v : ints) {
    FWriter.WriteInt(v);
    FWriter.WriteValueSeparator();
  }
  for (const auto v : longs) {
    FWriter.WriteLong(v);
    FWriter.WriteValueSeparator();
  }
  FWriter.WriteBoolean(true);
  FWriter.WriteValueSeparator();
  FWriter.WriteBoolean(false);
  FWriter.WriteValueSeparator();
  FWriter.WriteNull();
  FWriter.WriteArrayEnd();
  FWriter.Flush();

  auto& reader = Deliver();
  reader.Next(jtArrayStart);
  for (const auto v : ints) {
    EXPECT_EQ(reader.ReadInt(), v);
    reader.NextValueSeparator();
  }
  for (const auto v : longs) {
    EXPECT_EQ(reader.ReadLong(), v);
    reader.NextValueSeparator();
  }
  EXPECT_TRUE(reader.ReadBoolean());
  reader.NextValueSeparator();
  EXPECT_FALSE(reader.ReadBoolean());
  reader.NextValueSeparator();
  EXPECT_EQ(reader.Next(), jtNull);
  EXPECT_EQ(reader.Next(), jtArrayEnd);
}

TEST_F(JsonStreamRoundTrip, DataBlockSurvives) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7));
  FWriter.WriteDataObject(bytes, static_cast<int>(bytes.size()));
  FWriter.Flush();

  auto& reader = Deliver();
  reader.Next(jtObjectStart);
  EXPECT_EQ(reader.ReadStringCode(), scData);
  reader.Next(jtNameSeparator);
  reader.Next(jtArrayStart);
  const int count = reader.ReadInt();
  ASSERT_EQ(count, 3000);
  reader.NextValueSeparator();
  std::vector<std::uint8_t> received(static_cast<std::size_t>(count));
  reader.ReadDataBytes(received, 0, count);
  EXPECT_EQ(received, bytes);
  EXPECT_EQ(reader.Next(), jtArrayEnd);
  EXPECT_EQ(reader.Next(), jtObjectEnd);
}

TEST_F(JsonStreamRoundTrip, NextReplyStartsRightAfterTheErrorReply) {
  FWriter.WriteRpcError(u"Exception", 5, {}, u"Remote error: {\"}");
  FWriter.Flush();
  FWriter.WriteResultVoidObject();

  auto& reader = Deliver();
  reader.Next(jtObjectStart);
  EXPECT_EQ(reader.ReadStringCode(), scError);
  reader.Next(jtNameSeparator);
  reader.Next(jtObjectStart);
  reader.SkipToEndOfObject();  // the inner object is all there is
  reader.Next(jtObjectStart);
  EXPECT_EQ(reader.ReadStringCode(), scResult);
  reader.Next(jtNameSeparator);
  reader.Next(jtArrayStart);
  EXPECT_EQ(reader.ReadInt(), 0);
  EXPECT_EQ(reader.Next(), jtArrayEnd);
  EXPECT_EQ(reader.Next(), jtObjectEnd);
  EXPECT_FALSE(reader.HasMoreBytes());
}
