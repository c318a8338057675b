#include "transport/filter/body_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <variant>

#include "tests/support/deflate_stream_builder.h"
#include "tests/support/error_of.h"
#include "transport/filter/filter_format.h"
#include "transport/stream/memory_budget.h"

namespace {

using namespace test_support;

TBytes Bytes(std::string_view AText) { return TBytes(AText.begin(), AText.end()); }

TBytes XmlLike(std::size_t ACount, unsigned ASeed) {
  std::mt19937 random(ASeed);
  std::string text;
  while (text.size() < ACount)
    text += "<Rps><Numero>" + std::to_string(random() % 1000000) + "</Numero><Valor>" +
            std::to_string(random() % 100000) + ".00</Valor><Discriminacao>servico de " +
            (random() % 2 ? "manutencao" : "consultoria") + "</Discriminacao></Rps>";
  text.resize(ACount);
  return Bytes(text);
}

TBytes RandomBytes(std::size_t ACount, unsigned ASeed) {
  std::mt19937 random(ASeed);
  TBytes out(ACount);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

TBytes ZLibCompress(const TBytes& AData, int ALevel) {
  uLongf length = compressBound(static_cast<uLong>(AData.size()));
  TBytes out(length);
  EXPECT_EQ(compress2(out.data(), &length, AData.data(), static_cast<uLong>(AData.size()), ALevel),
            Z_OK);
  out.resize(length);
  return out;
}

// What zlib's own uncompress makes of a stream, or nothing when it refuses it.
std::optional<TBytes> ZLibUncompress(const TBytes& AStream, std::size_t ASize) {
  TBytes out(ASize + 1);
  uLongf length = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &length, AStream.data(), static_cast<uLong>(AStream.size())) != Z_OK)
    return std::nullopt;
  out.resize(length);
  return out;
}

// The inflated bytes, or the text of what was raised.
using TOutcome = std::variant<TBytes, std::string>;

TOutcome Outcome(TBytes (*AInflate)(std::span<const std::uint8_t>,
                                    const std::shared_ptr<TMemoryAccount>&),
                 std::span<const std::uint8_t> AStream) {
  TBytes inflated;
  const TRaisedError error = ErrorOf([&] { inflated = AInflate(AStream, nullptr); });
  if (error.Code != -1 || error.Message != u"(no error)") return error.Utf8();
  return inflated;
}

std::string Describe(const TOutcome& AOutcome) {
  if (const auto* error = std::get_if<std::string>(&AOutcome)) return "error: " + *error;
  return std::to_string(std::get<TBytes>(AOutcome).size()) + " bytes";
}

void ExpectInflatesAsZLib(std::span<const std::uint8_t> AStream) {
  const TOutcome fast = Outcome(body_codec::Inflate, AStream);
  const TOutcome zlib = Outcome(body_codec::ZLibInflate, AStream);
  EXPECT_TRUE(fast == zlib) << Describe(fast) << " where zlib gives " << Describe(zlib);
}

// Streams at least this long are inflated by ISA-L where the build has it.
constexpr std::size_t kLongStream = 70000;

// Symbols 'a' and end of block with one-bit codes, and two one-bit distance codes: complete.
TDynamicBlock CompleteBlock() {
  TDynamicBlock block;
  block.Literals.assign(257, 0);
  block.Literals['a'] = 1;
  block.Literals[256] = 1;
  block.Distances = {1, 1};
  block.Symbols = {{'a'}, {'a'}, {256}};
  return block;
}

}  // namespace

TEST(BodyCodecTest, DeflateWritesALevelOneZLibStreamThatZLibInflates) {
  const struct {
    const char* name;
    TBytes data;
  } kCases[] = {
      {"empty", {}},
      {"one byte", {'x'}},
      {"8 KB of XML", XmlLike(8 * 1024, 1)},
      {"2 MB of XML", XmlLike(2 * 1024 * 1024, 2)},
      {"incompressible", RandomBytes(100000, 3)},
      {"one byte repeated", TBytes(300000, 'z')},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const auto deflate : {body_codec::Deflate, body_codec::ZLibDeflate}) {
      TBytes stream = {0xAA};  // what the caller wrote before stays
      deflate(c.data, stream);
      ASSERT_GE(stream.size(), 3u);
      EXPECT_EQ(stream[0], 0xAA);
      EXPECT_EQ(stream[1], 0x78);
      EXPECT_EQ(stream[2], 0x01);
      stream.erase(stream.begin());
      EXPECT_EQ(ZLibUncompress(stream, c.data.size()), c.data);
      EXPECT_EQ(body_codec::Inflate(stream, nullptr), c.data);
    }
  }
}

TEST(BodyCodecTest, InflatesStreamsOfEveryMakerAndLevelAsZLib) {
  const TBytes data = XmlLike(200000, 4);
  std::vector<TBytes> streams;
  for (int level : {0, 1, 6, 9}) streams.push_back(ZLibCompress(data, level));
  streams.emplace_back();
  body_codec::Deflate(data, streams.back());
  for (const TBytes& stream : streams) {
    SCOPED_TRACE(stream.size());
    EXPECT_EQ(body_codec::Inflate(stream, nullptr), data);
    ExpectInflatesAsZLib(stream);
  }
}

TEST(BodyCodecTest, CutStreamsInflateAsZLib) {
  const TBytes data = XmlLike(1000000, 5);
  for (int level : {0, 1, 9}) {
    const TBytes stream = ZLibCompress(data, level);
    ASSERT_GE(stream.size(), kLongStream);
    for (std::size_t length = 0; length <= stream.size(); length += 1 + length / 50) {
      SCOPED_TRACE(std::to_string(level) + " cut at " + std::to_string(length));
      ExpectInflatesAsZLib(std::span(stream).first(length));
    }
  }
}

TEST(BodyCodecTest, DamagedStreamsInflateAsZLib) {
  const TBytes data = XmlLike(1000000, 6);
  TBytes ours;
  body_codec::Deflate(data, ours);
  std::mt19937 random(7);
  for (const TBytes& stream : {ZLibCompress(data, 1), ZLibCompress(data, 9), ours}) {
    ASSERT_GE(stream.size(), kLongStream);
    // Every byte of the header and the first block's codes, then bytes anywhere.
    for (std::size_t i = 0; i < 200; ++i) {
      TBytes damaged = stream;
      const std::size_t at = i < 100 ? i : random() % damaged.size();
      damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ (1u << (random() % 8)));
      SCOPED_TRACE(at);
      ExpectInflatesAsZLib(damaged);
    }
  }
}

TEST(BodyCodecTest, HandMadeBlocksInflateAsZLib) {
  TDynamicBlock incompleteLiterals = CompleteBlock();
  incompleteLiterals.Literals['a'] = 2;
  incompleteLiterals.Literals[256] = 2;
  TDynamicBlock incompleteDistances = CompleteBlock();
  incompleteDistances.Distances = {2, 2};
  TDynamicBlock incompleteLengthCode = CompleteBlock();
  incompleteLengthCode.CodeLengthLengths[15] = 0;  // 15 four-bit codes: one pattern unused
  TDynamicBlock oneDistanceCode = CompleteBlock();
  oneDistanceCode.Distances = {1};
  TDynamicBlock noDistanceCode = CompleteBlock();
  noDistanceCode.Distances = {0};
  TDynamicBlock noEndOfBlock = CompleteBlock();
  noEndOfBlock.Literals[256] = 0;
  noEndOfBlock.Literals['b'] = 1;
  noEndOfBlock.Symbols = {{'a'}};
  TDynamicBlock tooManyLengths = CompleteBlock();
  tooManyLengths.Literals.resize(287, 0);
  TDynamicBlock tooManyDistances = CompleteBlock();
  tooManyDistances.Distances.resize(31, 0);
  TDynamicBlock matchBack = CompleteBlock();
  matchBack.Literals.assign(258, 0);
  matchBack.Literals['a'] = 1;
  matchBack.Literals[256] = 2;
  matchBack.Literals[257] = 2;
  matchBack.Symbols = {{'a'}, {257, 0}, {256}};

  // Each block alone, and after enough stored bytes that the codec's own inflater takes it.
  for (const std::size_t before : {std::size_t{0}, kLongStream}) {
    const struct {
      const char* name;
      TBytes stream;
      std::optional<std::string> content;  // what zlib makes of it; nothing when it refuses it
    } kCases[] = {
        {"complete codes", ZLibStreamOf(CompleteBlock(), "aa", before), "aa"},
        {"a match", ZLibStreamOf(matchBack, "aaaa", before), "aaaa"},
        {"incomplete literal code", ZLibStreamOf(incompleteLiterals, "aa", before), std::nullopt},
        {"incomplete distance code", ZLibStreamOf(incompleteDistances, "aa", before), std::nullopt},
        {"incomplete code-length code", ZLibStreamOf(incompleteLengthCode, "aa", before),
         std::nullopt},
        {"one one-bit distance code", ZLibStreamOf(oneDistanceCode, "aa", before), "aa"},
        {"no distance code", ZLibStreamOf(noDistanceCode, "aa", before), "aa"},
        {"no end of block", ZLibStreamOf(noEndOfBlock, "a", before), std::nullopt},
        {"287 length symbols", ZLibStreamOf(tooManyLengths, "aa", before), std::nullopt},
        {"31 distance symbols", ZLibStreamOf(tooManyDistances, "aa", before), std::nullopt},
        {"fixed codes", ZLibStreamOfFixedBlock({{'a'}, {257, 0}, {256}}, "aaaa", before), "aaaa"},
        // After the stored bytes the distance reaches them: the Adler-32 is then wrong.
        {"distance before the start",
         ZLibStreamOfFixedBlock({{'a'}, {257, 1}, {256}}, "aaaa", before), std::nullopt},
        {"reserved length symbol", ZLibStreamOfFixedBlock({{'a'}, {286, 0}, {256}}, "aaaa", before),
         std::nullopt},
        {"reserved distance symbol",
         ZLibStreamOfFixedBlock({{'a'}, {257, 30}, {256}}, "aaaa", before), std::nullopt},
    };
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.name) + " after " + std::to_string(before));
      const std::optional<TBytes> expected =
          c.content ? std::optional(Bytes(std::string(before, 'p') + *c.content)) : std::nullopt;
      // The case is what it says: zlib takes it or refuses it.
      EXPECT_EQ(ZLibUncompress(c.stream, before + 16), expected);
      ExpectInflatesAsZLib(c.stream);
      if (expected) {
        EXPECT_EQ(body_codec::Inflate(c.stream, nullptr), *expected);
      }
      for (std::size_t length = before; length < c.stream.size(); ++length)
        ExpectInflatesAsZLib(std::span(c.stream).first(length));
    }
  }
}

TEST(BodyCodecTest, RaisesZLibMessagesAndStopsPastTheLimitAsZLib) {
  const TBytes good = ZLibCompress(XmlLike(5000, 8), 1);
  TBytes badTrailer = good;
  badTrailer.back() ^= 0x01;
  TBytes bomb;
  body_codec::ZLibDeflate(TBytes(filter_format::kMaxInflatedLength + 1, 0), bomb);
  const struct {
    const char* name;
    TBytes stream;
    std::string message;
  } kCases[] = {
      {"bad header", {0xFF, 0xFF, 0x00}, "data error"},
      {"window too large", {0x88, 0x01, 0x00}, "data error"},
      {"not deflate", {0x79, 0x9C, 0x00}, "data error"},
      {"preset dictionary", {0x78, 0xBB, 0x00, 0x00, 0x00, 0x01}, "need dictionary"},
      {"bad checksum", badTrailer, "data error"},
      {"bomb", bomb, "Compressed block inflates to more than 8388608 bytes"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const auto inflate : {body_codec::Inflate, body_codec::ZLibInflate})
      EXPECT_EQ(ErrorOf([&] { inflate(c.stream, nullptr); }).Utf8(), c.message);
  }
}

TEST(BodyCodecTest, ChargesTheMemoryBudgetAsZLibWhileInflating) {
  TBytes stream;
  body_codec::Deflate(TBytes(3 * 1024 * 1024, 'x'), stream);
  for (const std::size_t limit : {std::size_t{1024}, std::size_t{2} << 20, std::size_t{64} << 20}) {
    SCOPED_TRACE(limit);
    std::vector<std::string> outcomes;
    for (const auto inflate : {body_codec::Inflate, body_codec::ZLibInflate}) {
      TMemoryBudget budget(limit);
      const auto account = std::make_shared<TMemoryAccount>(budget, SIZE_MAX);
      std::size_t size = 0;
      const TRaisedError error = ErrorOf([&] { size = inflate(stream, account).size(); });
      outcomes.push_back(error.Utf8() + " / " + std::to_string(size) + " / " +
                         std::to_string(budget.Refusals()));
      EXPECT_EQ(budget.InUse(), 0u) << "what inflation charged is given back";
    }
    EXPECT_EQ(outcomes[0], outcomes[1]);
  }
}
