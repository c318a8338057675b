#include "transport/filter/compression_filter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "transport/dbx_error.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_messages.h"
#include "transport/stream/memory_budget.h"

namespace {

using namespace filter_format;

TBytes Bytes(std::string_view AText) { return TBytes(AText.begin(), AText.end()); }

TBytes WithMarker(std::uint8_t AMarker, const TBytes& ARest) {
  TBytes body(ARest.size() + 1, AMarker);
  std::copy(ARest.begin(), ARest.end(), body.begin() + 1);
  return body;
}

// A zlib stream of AData made by zlib itself, at any level.
TBytes ZLibCompress(const TBytes& AData, int ALevel) {
  uLongf length = compressBound(static_cast<uLong>(AData.size()));
  TBytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, AData.data(), static_cast<uLong>(AData.size()), ALevel),
            Z_OK);
  out.resize(length);
  return out;
}

// A zlib stream of ACount zero bytes, made without holding them all in memory.
TBytes ZeroStream(std::size_t ACount) {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, 9), Z_OK);
  const TBytes zeros(1 << 20);
  TBytes out;
  std::uint8_t chunk[1 << 16];
  std::size_t left = ACount;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0 && left > 0) {
      const std::size_t n = std::min(left, zeros.size());
      stream.next_in = const_cast<Bytef*>(zeros.data());
      stream.avail_in = static_cast<uInt>(n);
      left -= n;
    }
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    status = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
  }
  deflateEnd(&stream);
  return out;
}

TBytes RandomBytes(std::size_t ACount, unsigned ASeed) {
  std::mt19937 random(ASeed);
  TBytes out(ACount);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

TBytes XmlLike(std::size_t ACount) {
  std::string text;
  for (int i = 0; text.size() < ACount; ++i)
    text += "<Servico><Valor>" + std::to_string(i * 37 % 1000) + ".00</Valor><Item>" +
            std::to_string(i) + "</Item></Servico>";
  text.resize(ACount);
  return Bytes(text);
}

Text Message(const TDBXError& AError) { return AError.Message(); }

}  // namespace

TEST(CompressionFilterTest, ReportsItsParameters) {
  TTransportCompressionFilter filter;
  EXPECT_EQ(filter.Id(), u"ZLibCompression");
  EXPECT_EQ(filter.GetParameters(), (std::vector<Text>{u"FilterUnit", u"CompressMoreThan"}));
  EXPECT_EQ(filter.GetUserParameters(), (std::vector<Text>{u"CompressMoreThan"}));
  EXPECT_EQ(filter.GetParameterValue(u"FilterUnit"), u"DbxCompressionFilter");
  EXPECT_EQ(filter.GetParameterValue(u"compressmorethan"), u"1024");
  EXPECT_EQ(filter.GetParameterValue(u"Other"), u"");
  EXPECT_FALSE(filter.GetPublicKeyCryptograph());
}

TEST(CompressionFilterTest, AcceptsOrRefusesParameterValues) {
  struct Case {
    const char* name;
    Text param, value;
    bool accepted;
    std::int32_t threshold;
  };
  const Case kCases[] = {
      {"threshold", u"CompressMoreThan", u"100", true, 100},
      {"name case ignored", u"COMPRESSMORETHAN", u"0", true, 0},
      {"negative", u"CompressMoreThan", u"-5", true, -5},
      {"unit", u"FilterUnit", u"DbxCompressionFilter", true, 1024},
      {"unit case ignored", u"filterunit", u"DBXCOMPRESSIONFILTER", true, 1024},
      {"other unit", u"FilterUnit", u"ZipFilter", false, 1024},
      {"empty unit", u"FilterUnit", u"", false, 1024},
      {"unknown name", u"Level", u"9", false, 1024},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TTransportCompressionFilter local, peer;
    EXPECT_EQ(local.SetParameterValue(c.param, c.value), c.accepted);
    EXPECT_EQ(peer.SetConfederateParameter(c.param, c.value), c.accepted);
    EXPECT_EQ(local.GetMinThreshold(), c.threshold);
    EXPECT_EQ(peer.GetMinThreshold(), c.threshold);
  }
}

TEST(CompressionFilterTest, ParsesThresholdAsSigned32BitInteger) {
  struct Case {
    Text text;
    std::optional<std::int32_t> value;
  };
  const Case kCases[] = {
      {u"1024", 1024},
      {u"+7", 7},
      {u"-2147483648", INT32_MIN},
      {u"2147483647", INT32_MAX},
      {u"$10", 16},
      {u"0x1F", 31},
      {u"0X1f", 31},
      {u"-$10", -16},
      {u"007", 7},
      {u"", std::nullopt},
      {u"2147483648", std::nullopt},
      {u"-2147483649", std::nullopt},
      {u" 1", std::nullopt},
      {u"1 ", std::nullopt},
      {u"12a", std::nullopt},
      {u"$", std::nullopt},
      {u"0x", std::nullopt},
      {u"-", std::nullopt},
      {u"1.5", std::nullopt},
      {u"$G", std::nullopt},
      {u"0x100000000", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.text));
    if (c.value) {
      EXPECT_EQ(StrToInt(c.text), *c.value);
      continue;
    }
    try {
      StrToInt(c.text);
      ADD_FAILURE() << "no error";
    } catch (const TDBXError& e) {
      EXPECT_EQ(Message(e), u"'" + c.text + u"' is not a valid integer value");
    }
  }
}

TEST(CompressionFilterTest, EmptyThresholdRaisesConversionError) {
  TTransportCompressionFilter filter;
  try {
    filter.SetConfederateParameter(u"CompressMoreThan", u"");
    FAIL() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(Message(e), u"'' is not a valid integer value");
  }
  EXPECT_EQ(filter.GetMinThreshold(), 1024);
}

TEST(CompressionFilterTest, SendsBodiesUpToThresholdPlain) {
  TTransportCompressionFilter filter;
  const TBytes reply = Bytes(R"({"result":[]})");
  EXPECT_EQ(filter.ProcessInput(reply), Bytes("\x02{\"result\":[]}"));
  const TBytes exact = XmlLike(1024);
  EXPECT_EQ(filter.ProcessInput(exact), WithMarker(kPlainMarker, exact));
}

TEST(CompressionFilterTest, CompressesBodiesLongerThanThresholdAtLevelOne) {
  TTransportCompressionFilter filter;
  const TBytes longer = XmlLike(1025);
  const TBytes encoded = filter.ProcessInput(longer);
  ASSERT_GE(encoded.size(), 3u);
  EXPECT_EQ(encoded[0], kCompressedMarker);
  EXPECT_EQ(encoded[1], 0x78);
  EXPECT_EQ(encoded[2], 0x01);
  EXPECT_LT(encoded.size(), longer.size());
  // A zlib stream that zlib itself inflates to the body: the bytes may come from any deflater.
  TBytes inflated(longer.size() + 1);
  uLongf length = static_cast<uLongf>(inflated.size());
  ASSERT_EQ(uncompress(inflated.data(), &length, encoded.data() + 1,
                       static_cast<uLong>(encoded.size() - 1)),
            Z_OK);
  inflated.resize(length);
  EXPECT_EQ(inflated, longer);
  EXPECT_EQ(filter.ProcessOutput(encoded), longer);
}

TEST(CompressionFilterTest, PeerThresholdDecidesWhichBodiesAreCompressed) {
  struct Case {
    Text threshold;
    std::size_t size;
    std::uint8_t marker;
  };
  const Case kCases[] = {{u"100", 100, kPlainMarker},
                         {u"100", 101, kCompressedMarker},
                         {u"0", 1, kCompressedMarker},
                         {u"-1", 0, kCompressedMarker},
                         {u"0", 0, kPlainMarker}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.threshold) + " / " + std::to_string(c.size));
    TTransportCompressionFilter filter;
    ASSERT_TRUE(filter.SetConfederateParameter(u"CompressMoreThan", c.threshold));
    const TBytes data = XmlLike(c.size);
    const TBytes encoded = filter.ProcessInput(data);
    EXPECT_EQ(encoded[0], c.marker);
    EXPECT_EQ(filter.ProcessOutput(encoded), data);
  }
}

TEST(CompressionFilterTest, CompressesIncompressibleDataEvenWhenLonger) {
  TTransportCompressionFilter filter;
  const TBytes data = RandomBytes(4000, 1);
  const TBytes encoded = filter.ProcessInput(data);
  EXPECT_EQ(encoded[0], kCompressedMarker);
  EXPECT_GT(encoded.size(), data.size() + 1);
  EXPECT_EQ(filter.ProcessOutput(encoded), data);
}

TEST(CompressionFilterTest, HandsOnBodiesWithOtherMarkersUnchanged) {
  TTransportCompressionFilter filter;
  const TBytes rest = Bytes("\x78\x01{\"a\":1}");
  for (std::uint8_t marker : {0, 2, 3, 0xFF}) {
    SCOPED_TRACE(int{marker});
    EXPECT_EQ(filter.ProcessOutput(WithMarker(marker, rest)), rest);
    EXPECT_EQ(filter.ProcessOutput(TBytes{marker}), TBytes{});
  }
}

TEST(CompressionFilterTest, RejectsBodyWithoutMarker) {
  TTransportCompressionFilter filter;
  try {
    filter.ProcessOutput(TBytes{});
    FAIL() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(Message(e), filter_messages::kEmptyBody);
  }
}

TEST(CompressionFilterTest, CutStreamYieldsWhatInflatedSoFar) {
  TTransportCompressionFilter filter;
  const TBytes data = XmlLike(20000);
  const TBytes encoded = filter.ProcessInput(data);
  for (std::size_t length = 1; length < encoded.size(); length += 7) {
    SCOPED_TRACE(length);
    const TBytes decoded = filter.ProcessOutput(std::span(encoded).first(length));
    ASSERT_LE(decoded.size(), data.size());
    EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), data.begin()));
  }
  // Without the Adler-32 trailer every byte is there.
  EXPECT_EQ(filter.ProcessOutput(std::span(encoded).first(encoded.size() - 4)), data);
}

TEST(CompressionFilterTest, IgnoresBytesAfterStreamEnd) {
  TTransportCompressionFilter filter;
  const TBytes data = XmlLike(3000);
  TBytes encoded = filter.ProcessInput(data);
  encoded.insert(encoded.end(), {1, 2, 3});
  EXPECT_EQ(filter.ProcessOutput(encoded), data);
}

TEST(CompressionFilterTest, DecodesStreamsOfAnyLevel) {
  TTransportCompressionFilter filter;
  const TBytes data = XmlLike(50000);
  for (int level : {0, 6, 9}) {
    SCOPED_TRACE(level);
    EXPECT_EQ(filter.ProcessOutput(WithMarker(kCompressedMarker, ZLibCompress(data, level))), data);
  }
}

TEST(CompressionFilterTest, RaisesZLibMessageForUndecodableData) {
  const TBytes good = WithMarker(kCompressedMarker, ZLibCompress(XmlLike(5000), 1));
  TBytes badTrailer = good;
  badTrailer[good.size() - 1] = static_cast<std::uint8_t>(good[good.size() - 1] ^ 0x01);
  TBytes badBlock = good;
  badBlock[3] = 0xFF;  // first deflate block of reserved type 3
  struct Case {
    const char* name;
    TBytes body;
    Text message;
  };
  const Case kCases[] = {
      {"bad header", {kCompressedMarker, 0xFF, 0xFF, 0x00}, u"data error"},
      {"gzip header", {kCompressedMarker, 0x1F, 0x8B, 0x08, 0x00}, u"data error"},
      {"bad checksum", badTrailer, u"data error"},
      {"bad block type", badBlock, u"data error"},
      {"preset dictionary",
       {kCompressedMarker, 0x78, 0xBB, 0x00, 0x00, 0x00, 0x01},
       u"need dictionary"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TTransportCompressionFilter filter;
    try {
      filter.ProcessOutput(c.body);
      ADD_FAILURE() << "no error";
    } catch (const TDBXError& e) {
      EXPECT_EQ(Message(e), c.message);
    }
  }
}

TEST(CompressionFilterTest, StopsInflatingPastLimit) {
  TTransportCompressionFilter filter;
  const TBytes atLimit = WithMarker(kCompressedMarker, ZeroStream(kMaxInflatedLength));
  EXPECT_EQ(filter.ProcessOutput(atLimit).size(), kMaxInflatedLength);

  const TBytes bomb = WithMarker(kCompressedMarker, ZeroStream(kMaxInflatedLength + 1));
  EXPECT_LT(bomb.size(), 100u * 1024);
  try {
    filter.ProcessOutput(bomb);
    FAIL() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(Message(e), u"Compressed block inflates to more than 8388608 bytes");
  }
}

TEST(CompressionFilterTest, InflationStopsWhereTheMemoryBudgetSays) {
  const struct {
    const char* name;
    std::size_t budget;
    std::size_t inflated;
    bool ok;
  } kCases[] = {
      {"well within", 4 * 1024 * 1024, 1024 * 1024, true},
      {"bomb past the budget", 4 * 1024 * 1024, 32 * 1024 * 1024, false},
      {"bomb past a tiny budget", 1024, 1024 * 1024, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TMemoryBudget budget(c.budget);
    // The budget, not the share, refuses.
    const auto account = std::make_shared<TMemoryAccount>(budget, SIZE_MAX);
    TTransportCompressionFilter filter;
    filter.SetMemoryAccount(account);
    const TBytes body = WithMarker(kCompressedMarker, ZeroStream(c.inflated));
    try {
      EXPECT_EQ(filter.ProcessOutput(body).size(), c.inflated);
      EXPECT_TRUE(c.ok);
    } catch (const TMemoryBudgetExceeded&) {
      EXPECT_FALSE(c.ok);
      // Cut as it grew: never more than the budget was charged.
      EXPECT_GE(budget.Refusals(), 1u);
    }
    EXPECT_EQ(budget.InUse(), 0u) << "what inflation charged is given back";
  }
}
