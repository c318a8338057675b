#include "transport/stream/string_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/hex_bytes.h"
#include "transport/dbx_error.h"

namespace {

using test_support::FromHex;

std::string Encode(TextView AText) {
  std::size_t firstWide = 0;
  std::string bytes(TDBXStringEncoder::EncodedLength(AText, firstWide), '\0');
  TDBXStringEncoder::Encode(AText, firstWide, reinterpret_cast<std::uint8_t*>(bytes.data()));
  return bytes;
}

std::span<const std::uint8_t> Span(std::string_view ABytes) {
  return {reinterpret_cast<const std::uint8_t*>(ABytes.data()), ABytes.size()};
}

}  // namespace

TEST(StringCodecTest, EncodesOneByteUntilTheFirstWideUnit) {
  struct Case {
    const char* name;
    Text text;
    const char* hex;
  };
  const Case cases[] = {
      {"empty", u"", ""},
      {"A e-acute", u"A\u00E9", "41 E9"},
      {"A euro B", u"A\u20ACB", "41 FF 20 AC 00 42"},
      {"y-diaeresis is wide", u"\u00FF", "FF 00 FF"},
      {"254 is narrow", u"\u00FE", "FE"},
      {"NUL and controls are narrow", Text(u"\0\r", 2), "00 0D"},
      {"everything after the switch is wide", u"\u0100a\u00E9", "FF 01 00 00 61 00 E9"},
      {"surrogates unit by unit", u"\U0001F600", "FF D8 3D DE 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Encode(c.text), FromHex(c.hex));
    EXPECT_EQ(TDBXCharDecoder::Decode(Span(FromHex(c.hex))), c.text);
  }
}

// The scan for the first wide unit goes by blocks; a wide unit at any place of a block counts.
TEST(StringCodecTest, FindsTheFirstWideUnitAnywhere) {
  for (const std::size_t length : {1u, 63u, 64u, 65u, 200u}) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const char16_t wide : {u'\u00FF', u'\u0100', u'\uFFFF'}) {
        Text text(length, u'x');
        text[at] = wide;
        std::size_t firstWide = 0;
        ASSERT_EQ(TDBXStringEncoder::EncodedLength(text, firstWide), at + 1 + 2 * (length - at))
            << length << " " << at;
        EXPECT_EQ(firstWide, at);
        EXPECT_EQ(TDBXCharDecoder::Decode(Span(Encode(text))), text);
      }
    }
  }
}

// A text with wide units is decoded in pieces: both parts end before, at and after a piece.
TEST(StringCodecTest, DecodesNarrowAndWidePartsAroundTheDecodeBuffer) {
  const std::size_t n = kDecodeChunkUnits;
  for (const std::size_t narrow : {std::size_t{0}, std::size_t{1}, n - 1, n, n + 1, 2 * n + 3}) {
    for (const std::size_t wide : {std::size_t{1}, n - 1, n, n + 1, 3 * n}) {
      Text text;
      for (std::size_t i = 0; i < narrow; ++i) text += static_cast<char16_t>(u'a' + i % 26);
      for (std::size_t i = 0; i < wide; ++i)
        text += i % 2 == 0 ? u'\u00e7' : static_cast<char16_t>(0x0100 + i % 0xFE00);
      EXPECT_EQ(TDBXCharDecoder::Decode(Span(Encode(text))), text) << narrow << " " << wide;
    }
  }
}

TEST(StringCodecTest, RefusesAStrayByteAfterTheSwitch) {
  EXPECT_THROW(TDBXCharDecoder::Decode(Span(FromHex("41 FF 00"))), TDBXError);
  EXPECT_THROW(TDBXCharDecoder::Decode(Span(FromHex("41 FF 00 42 20"))), TDBXError);
  EXPECT_EQ(TDBXCharDecoder::Decode(Span(FromHex("41 FF"))), u"A");
}
