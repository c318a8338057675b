#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/xml_declaration.h"

namespace {

TEST(Text, Utf8RoundTripKeepsAccentsAndAstralCharacters) {
  const std::string utf8 = "Configuração ó € 𝄞";
  const Text wide = text::FromUtf8(utf8);
  EXPECT_EQ(wide, u"Configuração ó € 𝄞");
  EXPECT_EQ(text::ToUtf8(wide), utf8);
}

TEST(Text, IllFormedUtf8BecomesReplacementCharacters) {
  struct Case {
    const char* name;
    std::string in;
    Text out;
  };
  const Case kCases[] = {
      {"lone continuation",
       "a\x80"
       "b",
       u"a\uFFFDb"},
      {"truncated at end", "a\xC3", u"a\uFFFD"},
      {"truncated before ascii",
       "\xE2\x82"
       "x",
       u"\uFFFDx"},
      {"overlong", "\xC0\xAF", u"\uFFFD"},
      {"surrogate", "\xED\xA0\x80", u"\uFFFD"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text::FromUtf8(c.in), c.out);
  }
}

TEST(Text, LoneSurrogatesBecomeReplacementCharactersInUtf8) {
  struct Case {
    const char* name;
    Text in;
    std::string out;
  };
  const Case kCases[] = {
      {"high surrogate at the end", Text{u"a"} + char16_t{0xD834}, "a\xEF\xBF\xBD"},
      {"high surrogate before ascii", Text{char16_t{0xD834}} + u"b",
       "\xEF\xBF\xBD"
       "b"},
      {"low surrogate alone", Text{char16_t{0xDD1E}} + u"\u00e9", "\xEF\xBF\xBD\xC3\xA9"},
      {"two high surrogates then a pair", Text{char16_t{0xD834}} + u"\U0001D11E",
       "\xEF\xBF\xBD\xF0\x9D\x84\x9E"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text::ToUtf8(c.in), c.out);
  }
}

// Long texts are converted a block at a time: a wider character anywhere in or between
// blocks, including a pair split across two blocks.
TEST(Text, WiderCharactersAtEveryPositionOfALongText) {
  struct Wide {
    const char* name;
    Text unit;
    std::string utf8;
    bool roundTrip;
  };
  const Wide kWide[] = {
      {"two bytes", u"\u00e9", "\xC3\xA9", true},
      {"three bytes", u"\u20AC", "\xE2\x82\xAC", true},
      {"surrogate pair", u"\U0001D11E", "\xF0\x9D\x84\x9E", true},
      {"lone surrogate", Text{char16_t{0xDC00}}, "\xEF\xBF\xBD", false},
  };
  for (const auto& w : kWide) {
    for (std::size_t at = 0; at <= 40; ++at) {
      SCOPED_TRACE(std::string(w.name) + " at " + std::to_string(at));
      const Text wide = Text(at, u'a') + w.unit + Text(40 - at, u'b');
      const std::string utf8 = std::string(at, 'a') + w.utf8 + std::string(40 - at, 'b');
      EXPECT_EQ(text::ToUtf8(wide), utf8);
      if (w.roundTrip) {
        EXPECT_EQ(text::FromUtf8(utf8), wide);
      }
    }
  }
}

// Converted text is appended a chunk at a time: a wider character just before, across and just
// after each chunk's end, in texts that end on, before and after a chunk boundary.
TEST(Text, WiderCharactersAroundConversionChunkBoundaries) {
  struct Wide {
    const char* name;
    Text unit;
    std::string utf8;
  };
  const Wide kWide[] = {
      {"two bytes", u"\u00e9", "\xC3\xA9"},
      {"three bytes", u"\u20AC", "\xE2\x82\xAC"},
      {"surrogate pair", u"\U0001D11E", "\xF0\x9D\x84\x9E"},
  };
  constexpr std::size_t kChunk = text::kConversionChunk;
  for (const std::size_t length : {kChunk - 1, kChunk, kChunk + 1, 2 * kChunk + 3}) {
    for (const auto& w : kWide) {
      for (std::size_t boundary = kChunk / 4; boundary <= length + 4; boundary += kChunk / 4) {
        for (std::size_t at = boundary - 6; at <= boundary + 2 && at < length; ++at) {
          SCOPED_TRACE(std::string(w.name) + " at " + std::to_string(at) + " of " +
                       std::to_string(length));
          const Text wide = Text(at, u'a') + w.unit + Text(length - at, u'b');
          const std::string utf8 = std::string(at, 'a') + w.utf8 + std::string(length - at, 'b');
          ASSERT_EQ(text::Utf8Length(wide), utf8.size());
          ASSERT_EQ(text::ToUtf8(wide), utf8);
          ASSERT_EQ(text::FromUtf8(utf8), wide);
        }
      }
    }
    // Wide characters only: the buffer fills with no ASCII block to copy.
    const Text allWide(length, u'\u00e9');
    std::string allUtf8;
    for (std::size_t k = 0; k < length; ++k) allUtf8 += "\xC3\xA9";
    EXPECT_EQ(text::ToUtf8(allWide), allUtf8);
    EXPECT_EQ(text::FromUtf8(allUtf8), allWide);
  }
  // Appending keeps what the destination already held.
  Text held = u"x";
  text::AppendFromUtf8(std::string(kChunk + 5, 'y'), held);
  EXPECT_EQ(held, u"x" + Text(kChunk + 5, u'y'));
  std::string bytes = "x";
  text::AppendToUtf8(Text(kChunk + 5, u'y'), bytes);
  EXPECT_EQ(bytes, "x" + std::string(kChunk + 5, 'y'));
}

// Well-formed exactly when the round trip gives the bytes back, wherever the sequence stands
// relative to the ASCII blocks.
TEST(Text, WellFormedUtf8IsWhatRoundTrips) {
  const std::string kSequences[] = {
      "\xC3\xA9",
      "\xE2\x82\xAC",
      "\xF0\x9D\x84\x9E",
      "\xEF\xBF\xBD",
      "\xF4\x8F\xBF\xBF",
      "\xC3",
      "\xE2\x82",
      "\xF0\x9D\x84",
      "\x80",
      "\xBF",
      "\xC0\xAF",
      "\xC1\xBF",
      "\xE0\x80\xAF",
      "\xED\xA0\x80",
      "\xED\xBF\xBF",
      "\xF4\x90\x80\x80",
      "\xF8\x88\x80\x80",
      "\xFE",
      "\xFF",
      "\xC3\x28",
  };
  for (const std::string& sequence : kSequences) {
    for (const std::size_t at : {0, 1, 15, 16, 17, 31, 33}) {
      for (const std::size_t after : {0, 1, 16, 20}) {
        const std::string bytes = std::string(at, 'a') + sequence + std::string(after, 'b');
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_EQ(text::IsWellFormedUtf8(bytes), text::ToUtf8(text::FromUtf8(bytes)) == bytes);
      }
    }
  }
  EXPECT_TRUE(text::IsWellFormedUtf8(""));
}

TEST(Text, Latin1ReplacesWhatItCannotHold) {
  EXPECT_EQ(text::ToLatin1(u"ação€"), "a\xE7\xE3o?");
  EXPECT_EQ(text::FromLatin1("a\xE7\xE3o"), u"ação");
}

}  // namespace

namespace {

TEST(Text, Utf16BytesInBothByteOrders) {
  const Text sample = u"Aç€𝄞";
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big endian" : "little endian");
    const std::string bytes = text::ToUtf16Bytes(sample, bigEndian);
    ASSERT_EQ(bytes.size(), sample.size() * 2);
    EXPECT_EQ(bytes.substr(0, 2), bigEndian ? std::string("\0A", 2) : std::string("A\0", 2));
    EXPECT_EQ(text::FromUtf16Bytes(bytes, bigEndian), sample);
    // A stray last byte is reported, not dropped.
    EXPECT_EQ(text::FromUtf16Bytes(bytes + 'x', bigEndian), sample + u"\uFFFD");
  }
}

}  // namespace

namespace {

// Each rule folds its own letters and nothing more; the test program runs in C.UTF-8.
TEST(Text, CaseRulesFoldOnlyTheirOwnLetters) {
  struct Case {
    const char* name;
    Text a, b;
    bool ascii, latin1, locale;
  };
  const Case kCases[] = {
      {"ASCII letters", u"ZLibCompression", u"zlibcompression", true, true, true},
      {"Latin-1 capitals", u"JOSÉ", u"josé", false, true, true},
      {"multiplication sign is not a letter", u"\u00D7", u"\u00F7", false, false, false},
      {"beyond Latin-1", u"\u0141", u"\u0142", false, false, true},
      {"neighbours of the ASCII range", u"@[`{", u"@[`{", true, true, true},
      {"different lengths", u"My", u"My ", false, false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text::SameTextAscii(c.a, c.b), c.ascii);
    EXPECT_EQ(text::LowerAscii(c.a) == text::LowerAscii(c.b), c.ascii);
    EXPECT_EQ(text::LowerLatin1(c.a) == text::LowerLatin1(c.b), c.latin1);
    EXPECT_EQ(text::SameTextLocale(c.a, c.b), c.locale);
  }
  EXPECT_EQ(text::LowerAscii(std::string_view("UTF-8 \xC9")), "utf-8 \xC9");
  EXPECT_EQ(text::LowerAscii(u"[A-Z]"), u"[a-z]");
}

}  // namespace

namespace {

TEST(Text, ByteOrderMarksAreFoundOnlyAtTheStart) {
  struct Case {
    std::string_view bytes;
    text::TByteOrderMark mark;
  };
  const Case kCases[] = {
      {"\xEF\xBB\xBF<a/>", text::TByteOrderMark::Utf8},
      {"\xFF\xFE<\0", text::TByteOrderMark::Utf16Le},
      {"\xFE\xFF\0<", text::TByteOrderMark::Utf16Be},
      {"\xEF\xBB", text::TByteOrderMark::None},
      {" \xEF\xBB\xBF", text::TByteOrderMark::None},
      {"", text::TByteOrderMark::None},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(text::ByteOrderMarkOf(c.bytes), c.mark);
    EXPECT_TRUE(c.bytes.starts_with(text::ByteOrderMarkBytes(c.mark)));
  }
  EXPECT_TRUE(text::ByteOrderMarkBytes(text::TByteOrderMark::None).empty());
}

TEST(Text, XmlDeclarationIsTheXmlTargetFollowedByABlankOrQuestionMark) {
  struct Case {
    std::string_view text;
    bool declaration;
  };
  const Case kCases[] = {
      {"<?xml version=\"1.0\"?>", true},
      {"<?xml\tversion", true},
      {"<?xml\r\nversion", true},
      {"<?xml?>", true},
      {"<?xml", false},
      {"<?xml-stylesheet?>", false},
      {"<?XML version", false},
      {" <?xml version", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(xml::StartsWithXmlDeclaration(c.text), c.declaration);
    EXPECT_EQ(xml::StartsWithXmlDeclaration(text::FromAscii(c.text)), c.declaration);
  }
}

}  // namespace
