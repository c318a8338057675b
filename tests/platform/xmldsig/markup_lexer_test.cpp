#include "platform/xmldsig/markup_lexer.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using markup::TTokenKind;

// ASCII as the UTF-16 text the signer's text steps read.
std::u16string Widen(std::string_view AAscii) { return {AAscii.begin(), AAscii.end()}; }

template <class TChar>
std::string Slice(std::basic_string_view<TChar> AText, std::size_t AFrom, std::size_t ATo) {
  std::string out;
  for (std::size_t k = AFrom; k < ATo; ++k) out += static_cast<char>(AText[k]);
  return out;
}

const char* KindName(TTokenKind AKind) {
  switch (AKind) {
    case TTokenKind::Text:
      return "text";
    case TTokenKind::StartTag:
      return "start";
    case TTokenKind::EmptyElementTag:
      return "empty";
    case TTokenKind::EndTag:
      return "end";
    case TTokenKind::Comment:
      return "comment";
    case TTokenKind::CData:
      return "cdata";
    case TTokenKind::ProcessingInstruction:
      return "pi";
    case TTokenKind::Declaration:
      return "decl";
  }
  return "?";
}

// Every token as kind(name)[attributes]"its text", '!' marking what is unclosed; attributes as
// name=<quote>value<quote>, '=' and the value only where the lexer found them. Checks on the
// way that the tokens tile the text and lie within it.
template <class TChar>
std::string Describe(std::basic_string_view<TChar> AText) {
  markup::TLexer<TChar> lexer(AText);
  markup::TToken token;
  markup::TAttribute attribute;
  std::string out;
  std::size_t expected = 0;
  while (lexer.Next(token)) {
    EXPECT_EQ(token.start, expected);
    std::string attributes;
    if (token.kind == TTokenKind::StartTag) {
      while (lexer.NextAttribute(token, attribute)) {
        EXPECT_LE(attribute.end, AText.size());
        EXPECT_LE(attribute.valueEnd, attribute.end);
        attributes += ' ' + Slice(AText, attribute.start, attribute.nameEnd);
        if (attribute.equals != markup::kNone) attributes += '=';
        const std::string quote =
            attribute.quote ? std::string(1, static_cast<char>(attribute.quote)) : "";
        if (attribute.quote || attribute.valueEnd != attribute.valueStart)
          attributes += quote + Slice(AText, attribute.valueStart, attribute.valueEnd) + quote;
        if (!attribute.closed) attributes += '!';
        if (attribute.end == attribute.start + 1 && attribute.nameEnd == attribute.start &&
            attribute.equals == markup::kNone && !attribute.quote)
          attributes += "junk(" + Slice(AText, attribute.start, attribute.end) + ")";
      }
    }
    EXPECT_GT(token.end, token.start);
    EXPECT_LE(token.closeStart, token.end);
    EXPECT_LE(token.end, AText.size());
    if (!out.empty()) out += ' ';
    out += KindName(token.kind);
    if (token.nameEnd != token.nameStart)
      out += '(' + Slice(AText, token.nameStart, token.nameEnd) + ')';
    if (!attributes.empty()) out += '[' + attributes.substr(1) + ']';
    if (!token.closed) out += '!';
    if (token.kind == TTokenKind::Text) out += '"' + Slice(AText, token.start, token.end) + '"';
    expected = token.end;
  }
  EXPECT_EQ(expected, AText.size());
  return out;
}

struct TCase {
  const char* name;
  std::string_view text;
  std::string_view tokens;
};

const TCase kCases[] = {
    // Well-formed markup, every kind of token.
    {"empty text", "", ""},
    {"text only", "abc", "text\"abc\""},
    {"element with text", "<a>x</a>", "start(a) text\"x\" end(a)"},
    {"empty element", "<a/>", "empty(a)"},
    {"empty element after blanks", "<a \t/>", "empty(a)"},
    {"prefixed names", "<p:a xmlns:p=\"u\"></p:a>", "start(p:a)[xmlns:p=\"u\"] end(p:a)"},
    {"attributes in both quotes", "<a b=\"1\" c='2'>", "start(a)[b=\"1\" c='2']"},
    {"blanks around the equals sign", "<a b \n= \t'1'/>", "empty(a)[b='1']"},
    {"empty value", "<a b=\"\"/>", "empty(a)[b=\"\"]"},
    {"end tag with blanks", "</a >", "end(a)"},
    {"non-ASCII names and text", "<ação b\xC3\xA7=\"ç\">é</ação>",
     "start(ação)[b\xC3\xA7=\"ç\"] text\"é\" end(ação)"},
    {"comment", "<a><!-- <b c='>' --></a>", "start(a) comment end(a)"},
    {"CDATA section", "<a><![CDATA[<b>]]></a>", "start(a) cdata end(a)"},
    {"XML declaration", "<?xml version=\"1.0\"?><a/>", "pi(xml) empty(a)"},
    {"processing instruction", "<a><?pi x > y?></a>", "start(a) pi(pi) end(a)"},
    {"document type", "<!DOCTYPE a><a/>", "decl(DOCTYPE) empty(a)"},
    {"document type with a subset quoting '>'", "<!DOCTYPE a [<!ATTLIST a b CDATA '>'>]><a/>",
     "decl(DOCTYPE) empty(a)"},
    {"document type with a comment quoting", "<!DOCTYPE a [<!-- don't ] > -->]><a/>",
     "decl(DOCTYPE) empty(a)"},
    {"'>' in text", "<a>1 > 0</a>", "start(a) text\"1 > 0\" end(a)"},

    // Values hold what ends a tag elsewhere.
    {"'>' in a value", "<a b=\"x>y\">", "start(a)[b=\"x>y\"]"},
    {"'<' in a value", "<a b=\"<c>\"/>", "empty(a)[b=\"<c>\"]"},
    {"'/>' in a value", "<a b='/>'>", "start(a)[b='/>']"},
    {"the other quote in a value", "<a b=\"'\" c='\"'/>", "empty(a)[b=\"'\" c='\"']"},

    // Malformed markup: tokenised all the same, the missing end marked.
    {"unterminated start tag", "<a b=\"1\"", "start(a)[b=\"1\"]!"},
    {"unterminated start tag before another", "<a b<c>", "start(a)[b]! start(c)"},
    {"unterminated end tag", "</a", "end(a)!"},
    {"end tag cut by a start tag", "</a<b>", "end(a)! start(b)"},
    {"unterminated comment", "<a><!-- x", "start(a) comment!"},
    {"comment closed by its own opening", "<!-->", "comment!"},
    {"unterminated CDATA section", "<![CDATA[x]]", "cdata!"},
    {"unterminated processing instruction", "<?pi x", "pi(pi)!"},
    {"unterminated document type", "<!DOCTYPE a [", "decl(DOCTYPE)!"},
    {"unterminated quote in a document type", "<!DOCTYPE a 'x>", "decl(DOCTYPE)!"},
    {"unterminated value", "<a b=\"1>", "start(a)[b=\"1>\"!]!"},
    {"lone '<' at the end", "x<", "text\"x\" start!"},
    {"'<' and a blank", "< a>", "start[a]"},
    {"value without quotes", "<a b=1 c=x/>", "empty(a)[b=1 c=x]"},
    {"value without quotes ends at a quote", "<a b=1\"2\">", "start(a)[b=1 \"2\"]"},
    {"equals signs in a row", "<a b==c>", "start(a)[b= =c]"},
    {"equals sign without a name", "<a =\"1\">", "start(a)[=\"1\"]"},
    {"quoted value without a name", "<a \"1\">", "start(a)[\"1\"]"},
    {"quote right after the name", "<a\"b=c\">", "start(a)[\"b=c\"]"},
    {"attribute without a value", "<a b c>", "start(a)[b c]"},
    {"equals sign and no value", "<a b=>", "start(a)[b=]"},
    {"characters that begin nothing", "<a ! / b>", "start(a)[junk(!) junk(/) b]"},
    {"slash inside a value without quotes", "<a b=x/y/>", "empty(a)[b=x/y]"},
    {"no name after '<'", "<>", "start"},
    {"no name after '</'", "</>", "end"},
};

TEST(MarkupLexer, TokenisesUtf8AndUtf16Alike) {
  for (const TCase& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Describe(c.text), c.tokens);
    // Non-ASCII cases read differently unit by unit; their UTF-16 form is checked below.
    bool ascii = true;
    for (const char b : c.text) ascii = ascii && static_cast<unsigned char>(b) < 0x80;
    if (ascii) {
      const std::u16string wide = Widen(c.text);
      EXPECT_EQ(Describe(std::u16string_view{wide}), c.tokens);
    }
  }
}

TEST(MarkupLexer, ReadsNonAsciiUtf16UnitsAsNameCharacters) {
  const std::u16string_view text =
      u"<a\u00E7\U0001F600 b\u00E9='\u00E7'>\u00E9</a\u00E7\U0001F600>";
  markup::TLexer<char16_t> lexer(text);
  markup::TToken token;
  markup::TAttribute attribute;
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(text.substr(token.nameStart, token.nameEnd - token.nameStart), u"a\u00E7\U0001F600");
  ASSERT_TRUE(lexer.NextAttribute(token, attribute));
  EXPECT_EQ(text.substr(attribute.start, attribute.nameEnd - attribute.start), u"b\u00E9");
  EXPECT_EQ(text.substr(attribute.valueStart, attribute.valueEnd - attribute.valueStart),
            u"\u00E7");
  EXPECT_FALSE(lexer.NextAttribute(token, attribute));
  EXPECT_EQ(token.kind, TTokenKind::StartTag);
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(token.kind, TTokenKind::Text);
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(token.kind, TTokenKind::EndTag);
  EXPECT_EQ(token.end, text.size());
  EXPECT_FALSE(lexer.Next(token));
}

// A plain name (ASCII, without a colon) needs no second look from a strict reader.
TEST(MarkupLexer, TellsPlainNamesFromPrefixedAndNonAsciiOnes) {
  struct Case {
    const char* name;
    std::string_view text;
    bool tagPlain;
    bool attributePlain;
  };
  const Case cases[] = {
      {"plain", "<a-1.b_c d2=''>", true, true},
      {"prefixed element", "<p:a d=''>", false, true},
      {"prefixed attribute", "<a p:d=''>", true, false},
      {"non-ASCII element", "<ação d=''>", false, true},
      {"non-ASCII attribute", "<a dé=''>", true, false},
      {"end tag", "</p:a d=''>", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    markup::TLexer<char> lexer(c.text);
    markup::TToken token;
    markup::TAttribute attribute;
    ASSERT_TRUE(lexer.Next(token));
    EXPECT_EQ(token.plainName, c.tagPlain);
    if (token.kind != TTokenKind::StartTag) continue;
    ASSERT_TRUE(lexer.NextAttribute(token, attribute));
    EXPECT_EQ(attribute.plainName, c.attributePlain);
  }
  const std::u16string_view wide = u"<a\u0100 b='1'>";
  markup::TLexer<char16_t> lexer(wide);
  markup::TToken token;
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_FALSE(token.plainName);
}

TEST(MarkupLexer, NextSkipsAttributesLeftUnread) {
  const std::string_view text = "<a b='>' c=\"<\"/>x";
  markup::TLexer<char> lexer(text);
  markup::TToken token;
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(token.kind, TTokenKind::StartTag);
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(token.kind, TTokenKind::Text);
  EXPECT_EQ(token.start, text.size() - 1);
}

TEST(MarkupLexer, SeekGoesOnFromAPositionAndLeavesTheTag) {
  const std::string_view text = "<a b='1'><c/></a>";
  markup::TLexer<char> lexer(text);
  markup::TToken token;
  markup::TAttribute attribute;
  ASSERT_TRUE(lexer.Next(token));
  lexer.Seek(9);
  EXPECT_FALSE(lexer.NextAttribute(token, attribute));
  ASSERT_TRUE(lexer.Next(token));
  EXPECT_EQ(token.kind, TTokenKind::StartTag);
  EXPECT_FALSE(lexer.NextAttribute(token, attribute));
  EXPECT_EQ(token.kind, TTokenKind::EmptyElementTag);
  EXPECT_EQ(token.end, 13u);
}

// A document cut anywhere, or with any one byte replaced by markup, is read to its end
// without leaving it.
TEST(MarkupLexer, ReadsEveryCutAndDamagedDocumentWithinItsBounds) {
  const std::string document =
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e 'v'>]><a x='1' y=\"<>\">"
      "<!-- c --><![CDATA[d]]><?p q?><b/>t&amp;</a>";
  for (std::size_t length = 0; length <= document.size(); ++length) {
    SCOPED_TRACE(length);
    Describe(std::string_view{document}.substr(0, length));
  }
  for (std::size_t at = 0; at < document.size(); ++at) {
    for (const char damage : std::string_view{"<>\"'=/![-?"}) {
      std::string damaged = document;
      damaged[at] = damage;
      SCOPED_TRACE(damaged);
      Describe(std::string_view{damaged});
      const std::u16string wide = Widen(damaged);
      Describe(std::u16string_view{wide});
    }
  }
}

}  // namespace
