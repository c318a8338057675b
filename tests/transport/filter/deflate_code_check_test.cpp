#include "transport/filter/deflate_code_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "tests/support/deflate_stream_builder.h"
#include "transport/filter/body_codec.h"

namespace {

using namespace test_support;
using TBytes = std::vector<std::uint8_t>;

TBytes XmlLike(std::size_t ACount) {
  std::mt19937 random(11);
  std::string text;
  while (text.size() < ACount)
    text += "<Valor>" + std::to_string(random() % 100000) + ".00</Valor><Item>" +
            std::to_string(random() % 7) + "</Item>";
  text.resize(ACount);
  return TBytes(text.begin(), text.end());
}

// The raw deflate data of a zlib stream: without its header and its Adler-32.
TBytes Deflated(const TBytes& AStream) { return TBytes(AStream.begin() + 2, AStream.end() - 4); }

TBytes ZLibDeflated(const TBytes& AData, int ALevel, int AStrategy = Z_DEFAULT_STRATEGY) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, ALevel, Z_DEFLATED, 15, 8, AStrategy), Z_OK);
  TBytes out(deflateBound(&stream, static_cast<uLong>(AData.size())));
  stream.next_in = const_cast<Bytef*>(AData.data());
  stream.avail_in = static_cast<uInt>(AData.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return Deflated(out);
}

TDynamicBlock CompleteBlock() {
  TDynamicBlock block;
  block.Literals.assign(257, 0);
  block.Literals['a'] = 1;
  block.Literals[256] = 1;
  block.Distances = {1, 1};
  block.Symbols = {{'a'}, {256}};
  return block;
}

}  // namespace

TEST(DeflateCodeCheckTest, PassesWhatDeflatersMake) {
  const TBytes data = XmlLike(300000);
  TBytes ours;
  body_codec::Deflate(data, ours);
  const struct {
    const char* name;
    TBytes deflated;
  } kCases[] = {
      {"stored blocks", ZLibDeflated(data, 0)},
      {"level 1", ZLibDeflated(data, 1)},
      {"level 9", ZLibDeflated(data, 9)},
      {"fixed codes", ZLibDeflated(data, 6, Z_FIXED)},
      {"runs only", ZLibDeflated(data, 6, Z_RLE)},
      {"empty input", ZLibDeflated({}, 1)},
      {"the filter's own", Deflated(ours)},
      {"hand-made complete codes", Deflated(ZLibStreamOf(CompleteBlock(), "a"))},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(DeflateCodesAreComplete(c.deflated));
  }
}

TEST(DeflateCodeCheckTest, RefusesIncompleteCodesReservedSymbolsAndCutStreams) {
  TDynamicBlock incompleteLiterals = CompleteBlock();
  incompleteLiterals.Literals[256] = 2;
  incompleteLiterals.Literals['a'] = 2;
  TDynamicBlock incompleteDistances = CompleteBlock();
  incompleteDistances.Distances = {2, 2};
  TDynamicBlock oneDistanceCode = CompleteBlock();
  oneDistanceCode.Distances = {1};
  TDynamicBlock incompleteLengthCode = CompleteBlock();
  incompleteLengthCode.CodeLengthLengths[15] = 0;
  TDynamicBlock overSubscribed = CompleteBlock();
  overSubscribed.Literals['b'] = 1;
  TDynamicBlock tooManyLengths = CompleteBlock();
  tooManyLengths.Literals.resize(287, 0);
  const TBytes level1 = ZLibDeflated(XmlLike(50000), 1);

  const struct {
    const char* name;
    TBytes deflated;
  } kCases[] = {
      {"nothing", {}},
      {"reserved block type", {0x07}},
      {"incomplete literal code", Deflated(ZLibStreamOf(incompleteLiterals, "a"))},
      {"incomplete distance code", Deflated(ZLibStreamOf(incompleteDistances, "a"))},
      {"one one-bit distance code", Deflated(ZLibStreamOf(oneDistanceCode, "a"))},
      {"incomplete code-length code", Deflated(ZLibStreamOf(incompleteLengthCode, "a"))},
      {"over-subscribed code", Deflated(ZLibStreamOf(overSubscribed, "a"))},
      {"287 length symbols", Deflated(ZLibStreamOf(tooManyLengths, "a"))},
      {"reserved length symbol", Deflated(ZLibStreamOfFixedBlock({{'a'}, {287, 0}, {256}}, ""))},
      {"reserved distance symbol", Deflated(ZLibStreamOfFixedBlock({{'a'}, {257, 31}, {256}}, ""))},
      {"stored lengths that disagree", {0x01, 0x05, 0x00, 0xFA, 0xF0}},
      {"stored block cut", {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a'}},
      {"cut in the last block", TBytes(level1.begin(), level1.end() - 1)},
      {"cut at half", TBytes(level1.begin(), level1.begin() + level1.size() / 2)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DeflateCodesAreComplete(c.deflated));
  }
}

TEST(DeflateCodeCheckTest, ReadsNothingPastTheEndOfAnyPrefix) {
  // The replay and sanitizer builds catch a read past the span; here every prefix is walked.
  const TBytes level9 = ZLibDeflated(XmlLike(20000), 9);
  for (std::size_t length = 0; length < level9.size(); ++length) {
    const auto prefix = std::make_unique<std::uint8_t[]>(length);
    std::copy(level9.begin(), level9.begin() + static_cast<std::ptrdiff_t>(length), prefix.get());
    EXPECT_FALSE(DeflateCodesAreComplete(std::span(prefix.get(), length))) << length;
  }
}
