#pragma once

// Splits XML markup into tokens without judging it: text, start and end tags with their
// attributes, comments, CDATA sections, processing instructions and declarations (a document
// type with its internal subset). Works on a view of UTF-8 bytes or UTF-16 units and copies
// nothing: tokens and attributes are positions in that view.
//
// Only ASCII is read: every byte or unit above 0x7F counts as a name character. Malformed
// markup is tokenised all the same, with the token marked unclosed where its end is missing:
// what the markup must look like is each caller's rule, not the lexer's.
//
// Single-threaded; the view must outlive the lexer. Throws nothing.

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace markup {

enum class TTokenKind {
  Text,
  StartTag,               // "<name" and its attributes, up to ">"
  EmptyElementTag,        // the same, up to "/>"
  EndTag,                 // "</name", up to ">"
  Comment,                // "<!--" up to "-->"
  CData,                  // "<![CDATA[" up to "]]>"
  ProcessingInstruction,  // "<?target" up to "?>", the XML declaration included
  Declaration,            // "<!" up to its ">": a document type, with quotes and internal subset
};

inline constexpr std::size_t kNone = std::string_view::npos;

struct TToken {
  TTokenKind kind = TTokenKind::Text;
  std::size_t start = 0;
  std::size_t end = 0;        // one past the token
  std::size_t nameStart = 0;  // the tag's name, the target, the declaration's keyword;
  std::size_t nameEnd = 0;    // empty for text, comments and CDATA sections
  // Where the closing delimiter starts (">", "/>", "-->", "]]>", "?>"); the token's end when
  // the text ends first or, in a tag, when a '<' comes before its '>'.
  std::size_t closeStart = 0;
  bool closed = true;
  // Whether the name holds a colon or a character outside ASCII; a plain name has neither.
  bool plainName = true;
};

// One item of a start tag between its name and its end: a name, an '=', a value, each
// possibly missing. A character that can begin none of them is an item of its own, with
// nothing in it (start + 1 == end).
struct TAttribute {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t nameEnd = 0;     // the name is [start, nameEnd)
  std::size_t equals = kNone;  // the '=' sign, if any
  std::size_t valueStart = 0;  // the value, inside its quotes if quoted
  std::size_t valueEnd = 0;
  char32_t quote = 0;     // '"' or '\'', 0 for an unquoted or missing value
  bool closed = true;     // false for a quoted value the text ends in
  bool plainName = true;  // as TToken's
};

template <class TChar>
class TLexer {
  using TView = std::basic_string_view<TChar>;

 public:
  explicit TLexer(TView AText, std::size_t AFrom = 0) : FText(AText), FPos(AFrom) {}

  // Where the next token starts.
  std::size_t Position() const { return FPos; }
  // Goes on from APosition; a tag being read is left.
  void Seek(std::size_t APosition) {
    FPos = APosition;
    FInTag = false;
  }

  // The token at Position(); false at the end of the text. A start tag is given with its
  // name, kind StartTag and no end yet: its attributes follow through NextAttribute, which
  // completes the token at the tag's end (Next skips what is left unread).
  bool Next(TToken& AToken) {
    if (FInTag) {
      TToken tag;
      TAttribute skipped;
      while (NextAttribute(tag, skipped)) {
      }
    }
    if (FPos >= FText.size()) return false;
    const std::size_t pos = FPos;
    AToken = TToken{};
    AToken.start = pos;
    // Tags and text make up nearly all of a document: the character after '<' picks the kind.
    const TChar next = pos + 1 < FText.size() ? FText[pos + 1] : TChar(0);
    if (FText[pos] != TChar('<')) {
      AToken.kind = TTokenKind::Text;
      AToken.end = AToken.closeStart = Find(TChar('<'), pos);
      AToken.nameStart = AToken.nameEnd = pos;
    } else if (next == TChar('/')) {
      EndTagToken(AToken);
    } else if (next == TChar('!') && StartsWith(pos, "<!--")) {
      Delimited(AToken, TTokenKind::Comment, pos + 4, "-->");
    } else if (next == TChar('!') && StartsWith(pos, "<![CDATA[")) {
      Delimited(AToken, TTokenKind::CData, pos + 9, "]]>");
    } else if (next == TChar('!')) {
      DeclarationToken(AToken);
    } else if (next == TChar('?')) {
      Delimited(AToken, TTokenKind::ProcessingInstruction, pos + 2, "?>");
      AToken.nameStart = pos + 2;
      AToken.nameEnd = NameEnd(pos + 2, AToken.plainName);
    } else {
      AToken.kind = TTokenKind::StartTag;
      AToken.nameStart = pos + 1;
      AToken.nameEnd = NameEnd(pos + 1, AToken.plainName);
      AToken.end = AToken.closeStart = FText.size();
      AToken.closed = false;
      FInTag = true;
      FPos = AToken.nameEnd;
      return true;
    }
    FPos = AToken.end;
    return true;
  }

  // The next attribute of the start tag ATag, which Next gave last; false at the tag's end,
  // which it then writes into ATag (kind, end, closing).
  bool NextAttribute(TToken& ATag, TAttribute& AAttribute) {
    if (!FInTag) return false;
    const std::size_t p = SkipBlanks(FPos);
    if (p >= FText.size()) return CloseTag(ATag, TTokenKind::StartTag, p, p, false);
    const TChar c = FText[p];
    if (c == TChar('>')) return CloseTag(ATag, TTokenKind::StartTag, p, p + 1, true);
    if (c == TChar('/') && StartsWith(p, "/>"))
      return CloseTag(ATag, TTokenKind::EmptyElementTag, p, p + 2, true);
    if (c == TChar('<')) return CloseTag(ATag, TTokenKind::StartTag, p, p, false);

    AAttribute = TAttribute{};
    AAttribute.start = p;
    AAttribute.nameEnd = NameEnd(p, AAttribute.plainName);
    std::size_t v = AAttribute.nameEnd;
    const std::size_t afterBlanks = SkipBlanks(v);
    if (afterBlanks < FText.size() && FText[afterBlanks] == TChar('=')) {
      AAttribute.equals = afterBlanks;
      v = SkipBlanks(afterBlanks + 1);
    }
    const bool named = AAttribute.nameEnd != p;
    const bool equals = AAttribute.equals != kNone;
    AAttribute.valueStart = AAttribute.valueEnd = v;
    AAttribute.end = equals ? v : AAttribute.nameEnd;
    if ((equals || !named) && v < FText.size() && IsQuote(FText[v])) {
      AAttribute.quote = static_cast<char32_t>(Unit(FText[v]));
      const std::size_t close = FText.find(FText[v], v + 1);
      AAttribute.closed = close != TView::npos;
      AAttribute.valueStart = v + 1;
      AAttribute.valueEnd = AAttribute.closed ? close : FText.size();
      AAttribute.end = AAttribute.closed ? close + 1 : FText.size();
    } else if (equals) {
      std::size_t e = v;
      while (e < FText.size() && IsUnquotedValueChar(e)) ++e;
      AAttribute.valueEnd = AAttribute.end = e;
    } else if (!named) {
      AAttribute.end = p + 1;  // a character that begins nothing
    }
    FPos = AAttribute.end;
    return true;
  }

 private:
  static unsigned Unit(TChar c) { return static_cast<std::make_unsigned_t<TChar>>(c); }
  static bool IsQuote(TChar c) { return c == TChar('"') || c == TChar('\''); }
  static constexpr unsigned char kName = 1;
  static constexpr unsigned char kBlank = 2;
  static constexpr unsigned char kColon = 4;
  static constexpr unsigned char kNonAscii = 8;
  // Each byte's classes; a unit above 0xFF is a non-ASCII name character.
  static constexpr std::array<unsigned char, 256> kClasses = [] {
    std::array<unsigned char, 256> classes{};
    for (unsigned c = 0; c < 256; ++c) {
      if (c == '_' || c == '-' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
          (c >= 'a' && c <= 'z'))
        classes[c] = kName;
      if (c > 0x7F) classes[c] = kName | kNonAscii;
    }
    classes[':'] = kName | kColon;
    classes[' '] = classes['\t'] = classes['\r'] = classes['\n'] = kBlank;
    return classes;
  }();
  static unsigned Classes(TChar AChar) {
    const unsigned c = Unit(AChar);
    return c > 0xFF ? kName | kNonAscii : kClasses[c];
  }
  static bool IsBlank(TChar c) { return (Classes(c) & kBlank) != 0; }
  bool IsUnquotedValueChar(std::size_t at) const {
    const TChar c = FText[at];
    if (IsBlank(c) || IsQuote(c) || c == TChar('>') || c == TChar('<') || c == TChar('='))
      return false;
    return !(c == TChar('/') && StartsWith(at, "/>"));
  }

  bool StartsWith(std::size_t pos, std::string_view AAscii) const {
    if (pos > FText.size() || FText.size() - pos < AAscii.size()) return false;
    for (std::size_t i = 0; i < AAscii.size(); ++i)
      if (FText[pos + i] != TChar(AAscii[i])) return false;
    return true;
  }
  std::size_t Find(TChar c, std::size_t from) const {
    // Most texts between tags are short: a plain loop beats a library call on them.
    const std::size_t near = FText.size() - from < 16 ? FText.size() : from + 16;
    for (std::size_t k = from; k < near; ++k)
      if (FText[k] == c) return k;
    const std::size_t at = near == FText.size() ? TView::npos : FText.find(c, near);
    return at == TView::npos ? FText.size() : at;
  }
  // The start of the next AAscii from pos; kNone without one.
  std::size_t FindAscii(std::size_t pos, std::string_view AAscii) const {
    for (std::size_t at = FText.find(TChar(AAscii[0]), pos); at != TView::npos;
         at = FText.find(TChar(AAscii[0]), at + 1)) {
      if (StartsWith(at, AAscii)) return at;
    }
    return kNone;
  }
  std::size_t NameEnd(std::size_t pos, bool& APlain) const {
    unsigned seen = 0;
    for (; pos < FText.size(); ++pos) {
      const unsigned classes = Classes(FText[pos]);
      if ((classes & kName) == 0) break;
      seen |= classes;
    }
    APlain = (seen & (kColon | kNonAscii)) == 0;
    return pos;
  }
  std::size_t SkipBlanks(std::size_t pos) const {
    while (pos < FText.size() && IsBlank(FText[pos])) ++pos;
    return pos;
  }

  void Delimited(TToken& AToken, TTokenKind AKind, std::size_t AFrom, std::string_view AClose) {
    AToken.kind = AKind;
    AToken.nameStart = AToken.nameEnd = AFrom;
    const std::size_t close = FindAscii(AFrom, AClose);
    AToken.closed = close != kNone;
    AToken.closeStart = AToken.closed ? close : FText.size();
    AToken.end = AToken.closed ? close + AClose.size() : FText.size();
  }

  // A document type's internal subset may quote '>' and hold comments that do.
  void DeclarationToken(TToken& AToken) {
    AToken.kind = TTokenKind::Declaration;
    AToken.nameStart = AToken.start + 2;
    AToken.nameEnd = NameEnd(AToken.nameStart, AToken.plainName);
    AToken.closed = false;
    std::size_t pos = AToken.nameEnd;
    int depth = 0;
    while (pos < FText.size()) {
      const TChar c = FText[pos];
      if (IsQuote(c)) {
        const std::size_t close = FText.find(c, pos + 1);
        pos = close == TView::npos ? FText.size() : close + 1;
      } else if (StartsWith(pos, "<!--")) {
        const std::size_t close = FindAscii(pos + 4, "-->");
        pos = close == kNone ? FText.size() : close + 3;
      } else {
        if (c == TChar('[')) ++depth;
        if (c == TChar(']')) --depth;
        if (c == TChar('>') && depth <= 0) {
          AToken.closed = true;
          AToken.closeStart = pos;
          AToken.end = pos + 1;
          return;
        }
        ++pos;
      }
    }
    AToken.closeStart = AToken.end = FText.size();
  }

  // Quotes mean nothing in an end tag; a '<' ends it unclosed.
  void EndTagToken(TToken& AToken) {
    AToken.kind = TTokenKind::EndTag;
    AToken.nameStart = AToken.start + 2;
    AToken.nameEnd = NameEnd(AToken.nameStart, AToken.plainName);
    std::size_t pos = AToken.nameEnd;
    while (pos < FText.size() && FText[pos] != TChar('>') && FText[pos] != TChar('<')) ++pos;
    AToken.closed = pos < FText.size() && FText[pos] == TChar('>');
    AToken.closeStart = pos;
    AToken.end = AToken.closed ? pos + 1 : pos;
  }

  bool CloseTag(TToken& ATag, TTokenKind AKind, std::size_t ACloseStart, std::size_t AEnd,
                bool AClosed) {
    ATag.kind = AKind;
    ATag.closeStart = ACloseStart;
    ATag.end = AEnd;
    ATag.closed = AClosed;
    FPos = AEnd;
    FInTag = false;
    return false;
  }

  TView FText;
  std::size_t FPos;
  bool FInTag = false;
};

}  // namespace markup
