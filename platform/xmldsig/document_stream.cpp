#include "platform/xmldsig/document_stream.h"

#include <libxml/uri.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "platform/c_free.h"
#include "platform/diagnostics.h"
#include "platform/openssl_handles.h"
#include "platform/xmldsig/markup_lexer.h"

namespace xmldsig {
namespace {

constexpr std::string_view kDsigNamespace = "http://www.w3.org/2000/09/xmldsig#";
constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// Well inside the parser's own limits (names, text and values, nesting), so that nothing it
// would refuse for its size is read here; and the attribute count IXMLDOMDocument3 refuses.
constexpr std::size_t kMaxName = 1000;
constexpr std::size_t kMaxRun = 1'000'000;
constexpr std::size_t kMaxDepth = 200;
constexpr std::size_t kMaxAttributes = 256;

// Thrown inside the reader when the text leaves the plain form; caught at its entry.
struct TDeclined {
  TDeclineReason reason;
};

[[noreturn]] void Decline(TDeclineReason AReason) { throw TDeclined{AReason}; }

// Bytes of text content that both forms write as they stand.
constexpr std::array<bool, 256> kPlainText = [] {
  std::array<bool, 256> plain{};
  plain['\t'] = true;
  for (unsigned c = 0x20; c < 0x80; ++c) plain[c] = c != '<' && c != '&' && c != '>';
  return plain;
}();

constexpr std::array<bool, 128> kNameStart = [] {
  std::array<bool, 128> start{};
  for (unsigned c = 0; c < 128; ++c)
    start[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  return start;
}();

constexpr std::array<bool, 128> kNameChar = [] {
  std::array<bool, 128> name = kNameStart;
  for (unsigned c = '0'; c <= '9'; ++c) name[c] = true;
  name['-'] = name['.'] = true;
  return name;
}();

// Characters of the namespace URIs read here: those of a URI that need no escaping in XML.
constexpr std::array<bool, 128> kUriChar = [] {
  std::array<bool, 128> uri = kNameChar;
  for (const char c : std::string_view{":/?#@!$()*+,;=%~[]"})
    uri[static_cast<unsigned char>(c)] = true;
  return uri;
}();

// What each byte of an attribute value becomes in one of the two forms; null where it is
// written as it stands.
using TEscapes = std::array<const char*, 128>;

constexpr TEscapes kSerialisedValue = [] {
  TEscapes escapes{};
  escapes['<'] = "&lt;";
  escapes['>'] = "&gt;";
  escapes['&'] = "&amp;";
  escapes['"'] = "&quot;";
  escapes['\n'] = "&#10;";
  escapes['\r'] = "&#13;";
  escapes['\t'] = "&#9;";
  return escapes;
}();

constexpr TEscapes kCanonicalValue = [] {
  TEscapes escapes{};
  escapes['<'] = "&lt;";
  escapes['&'] = "&amp;";
  escapes['"'] = "&quot;";
  escapes['\t'] = "&#x9;";
  escapes['\n'] = "&#xA;";
  escapes['\r'] = "&#xD;";
  return escapes;
}();

// Hands AValue to APut in pieces, each byte that AEscapes names replaced by its escape.
template <class TPut>
void PutEscaped(std::string_view AValue, const TEscapes& AEscapes, TPut APut) {
  std::size_t plain = 0;
  for (std::size_t k = 0; k < AValue.size(); ++k) {
    const auto c = static_cast<unsigned char>(AValue[k]);
    if (c >= AEscapes.size() || !AEscapes[c]) continue;
    APut(AValue.substr(plain, k - plain));
    APut(std::string_view{AEscapes[c]});
    plain = k + 1;
  }
  APut(AValue.substr(plain));
}

bool IsXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(std::string& AOut, char32_t c) {
  if (c < 0x80) {
    AOut += static_cast<char>(c);
  } else if (c < 0x800) {
    AOut += static_cast<char>(0xC0 | (c >> 6));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    AOut += static_cast<char>(0xE0 | (c >> 12));
    AOut += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (c >> 18));
    AOut += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The canonical bytes go through a small buffer into SHA-1; they are never held whole.
class TCanonicalDigest {
 public:
  TCanonicalDigest() : FContext(EVP_MD_CTX_new()) {
    if (!FContext || EVP_DigestInit_ex(FContext.get(), EVP_sha1(), nullptr) != 1)
      Decline(TDeclineReason::Digest);
  }

  void Put(std::string_view ABytes) {
    if (ABytes.empty()) return;  // an empty view may point nowhere
    if (FUsed + ABytes.size() > sizeof FBuffer) {
      Flush();
      if (ABytes.size() >= sizeof FBuffer / 2) {
        Update(ABytes.data(), ABytes.size());
        return;
      }
    }
    std::memcpy(FBuffer + FUsed, ABytes.data(), ABytes.size());
    FUsed += ABytes.size();
  }
  void Put(char AByte) {
    if (FUsed == sizeof FBuffer) Flush();
    FBuffer[FUsed++] = AByte;
  }

  std::array<unsigned char, 20> Finish() {
    Flush();
    std::array<unsigned char, 20> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(FContext.get(), digest.data(), &length) != 1 || length != digest.size())
      Decline(TDeclineReason::Digest);
    return digest;
  }

 private:
  void Flush() {
    Update(FBuffer, FUsed);
    FUsed = 0;
  }
  void Update(const char* ABytes, std::size_t ALength) {
    if (ALength != 0 && EVP_DigestUpdate(FContext.get(), ABytes, ALength) != 1)
      Decline(TDeclineReason::Digest);
  }

  EvpMdCtxPtr FContext;
  char FBuffer[16384];
  std::size_t FUsed = 0;
};

using XmlUriPtr = std::unique_ptr<xmlURI, CFree<xmlFreeURI>>;

class TDocumentReader {
 public:
  TDocumentReader(std::string_view AText, std::string_view ATemplate)
      : FText(AText), FTemplate(ATemplate), FLexer(AText) {}

  TStreamedDocument Read() {
    FResult.serialised.reserve(FText.size() + FText.size() / 16 + 64);
    markup::TToken token;
    bool more = FLexer.Next(token);
    if (more && token.kind == markup::TTokenKind::ProcessingInstruction && StartsWith("<?xml")) {
      Declaration();
      if (FPos != token.end) Decline(TDeclineReason::Declaration);
      more = FLexer.Next(token);
    }
    if (more && token.kind == markup::TTokenKind::Text) {
      if (!Blanks(token.start, token.end)) Decline(TDeclineReason::Malformed);
      more = FLexer.Next(token);
    }
    if (!more) Decline(TDeclineReason::Malformed);
    if (token.kind != markup::TTokenKind::StartTag) DeclineToken(token);
    StartTag(token);
    while (!FOpen.empty()) {
      // Character data is read here in one pass, up to its '<', references and all; the lexer
      // goes on from there.
      if (const std::size_t at = FLexer.Position(); at < FText.size() && FText[at] != '<') {
        Content(at);
        FLexer.Seek(FPos);
        continue;
      }
      if (!FLexer.Next(token)) Decline(TDeclineReason::Malformed);
      switch (token.kind) {
        case markup::TTokenKind::StartTag:
          StartTag(token);
          break;
        case markup::TTokenKind::EndTag:
          EndTag(token);
          break;
        default:
          DeclineToken(token);
      }
    }
    while (FLexer.Next(token)) {
      if (token.kind != markup::TTokenKind::Text) DeclineToken(token);
      if (!Blanks(token.start, token.end)) Decline(TDeclineReason::Malformed);
    }
    if (!FSignatureFound) Decline(TDeclineReason::Template);
    FResult.digest = FDigest.Finish();
    return std::move(FResult);
  }

 private:
  struct TBinding {
    std::string_view prefix;  // empty for the default namespace
    std::string_view uri;
  };
  struct TOpen {
    std::string_view name;
    std::size_t bindings;  // FBindings' size below this element's declarations
  };
  struct TAttribute {
    std::string_view name;
    std::string_view prefix;
    std::string_view local;
    std::string_view uri;
    std::size_t valueStart;  // in FValues
    std::size_t valueEnd;
  };

  static bool IsNameStart(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 128 && kNameStart[u];
  }
  static bool IsNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 128 && kNameChar[u];
  }
  bool At(char c) const { return FPos < FText.size() && FText[FPos] == c; }
  bool StartsWith(std::string_view what) const { return FText.substr(FPos, what.size()) == what; }
  void Expect(char c) {
    if (!At(c)) Decline(TDeclineReason::Malformed);
    ++FPos;
  }
  // Whether [AFrom, ATo) holds blanks only, and at least one when ARequired: the plain form
  // has no line breaks between its attributes.
  bool Blanks(std::size_t AFrom, std::size_t ATo, bool ARequired = false) const {
    if (ARequired && AFrom == ATo) return false;
    for (std::size_t k = AFrom; k < ATo; ++k)
      if (FText[k] != ' ' && FText[k] != '\t') return false;
    return true;
  }
  // Comments, CDATA sections, processing instructions and document types are the tree's.
  [[noreturn]] static void DeclineToken(const markup::TToken& AToken) {
    Decline(AToken.kind == markup::TTokenKind::Text ||
                    AToken.kind == markup::TTokenKind::StartTag ||
                    AToken.kind == markup::TTokenKind::EmptyElementTag ||
                    AToken.kind == markup::TTokenKind::EndTag
                ? TDeclineReason::Malformed
                : TDeclineReason::Markup);
  }
  bool SkipBlanks() {
    const std::size_t from = FPos;
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t')) ++FPos;
    return FPos != from;
  }

  // The name [AFrom, ATo) the lexer found: at most one colon, both parts of ASCII name
  // characters.
  std::string_view Name(std::size_t AFrom, std::size_t ATo, bool APlain, std::string_view& APrefix,
                        std::string_view& ALocal) const {
    std::size_t colon = std::string_view::npos;
    if (AFrom >= ATo || !IsNameStart(FText[AFrom])) Decline(TDeclineReason::Name);
    // The lexer's names hold ASCII name characters, colons and non-ASCII bytes only: a plain
    // one, without the last two, is read.
    for (std::size_t k = APlain ? ATo : AFrom; k < ATo; ++k) {
      const char c = FText[k];
      if (static_cast<unsigned char>(c) >= 0x80) Decline(TDeclineReason::Name);
      if (c == ':') {
        if (colon != std::string_view::npos || k + 1 >= ATo || !IsNameStart(FText[k + 1]))
          Decline(TDeclineReason::Name);
        colon = k;
      }
    }
    const std::string_view name = FText.substr(AFrom, ATo - AFrom);
    if (name.size() > kMaxName) Decline(TDeclineReason::Size);
    if (colon == std::string_view::npos) {
      APrefix = {};
      ALocal = name;
    } else {
      APrefix = name.substr(0, colon - AFrom);
      ALocal = name.substr(colon - AFrom + 1);
    }
    return name;
  }

  // The length of the well-formed UTF-8 character at FPos. A raw U+FFFD is declined with the
  // malformed: it is what a lone surrogate becomes on the way into this text.
  std::size_t CharacterLength() const {
    const auto byte = [&](std::size_t k) -> unsigned {
      return FPos + k < FText.size() ? static_cast<unsigned char>(FText[FPos + k]) : 0;
    };
    const unsigned lead = byte(0);
    const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
    char32_t c = 0;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      Decline(TDeclineReason::Character);
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (!continuation(k)) Decline(TDeclineReason::Character);
      c = (c << 6) | (byte(k) & 0x3F);
    }
    const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (c < least || !IsXmlChar(c) || c == 0xFFFD) Decline(TDeclineReason::Character);
    return length;
  }

  // The character of the reference at FPos ('&'), moving past it.
  char32_t Reference() {
    // The longest reference read here ("&#x10FFFF;" with leading zeros) ends within 12 bytes.
    const std::size_t found = FText.substr(FPos + 1, 12).find(';');
    if (found == std::string_view::npos) Decline(TDeclineReason::Character);
    const std::size_t semicolon = FPos + 1 + found;
    const std::string_view body = FText.substr(FPos + 1, semicolon - FPos - 1);
    FPos = semicolon + 1;
    if (body == "lt") return '<';
    if (body == "gt") return '>';
    if (body == "amp") return '&';
    if (body == "quot") return '"';
    if (body == "apos") return '\'';
    if (body.size() < 2 || body[0] != '#') Decline(TDeclineReason::Character);
    const bool hex = body[1] == 'x';
    const std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) Decline(TDeclineReason::Character);
    char32_t value = 0;
    for (const char d : digits) {
      unsigned digit;
      if (d >= '0' && d <= '9') {
        digit = static_cast<unsigned>(d - '0');
      } else if (hex && d >= 'a' && d <= 'f') {
        digit = static_cast<unsigned>(d - 'a' + 10);
      } else if (hex && d >= 'A' && d <= 'F') {
        digit = static_cast<unsigned>(d - 'A' + 10);
      } else {
        Decline(TDeclineReason::Character);
      }
      value = value * (hex ? 16 : 10) + digit;
      if (value > 0x10FFFF) Decline(TDeclineReason::Character);
    }
    if (!IsXmlChar(value)) Decline(TDeclineReason::Character);
    return value;
  }

  // "<?xml" version, encoding and standalone as the parser takes them; copied as it stands.
  void Declaration() {
    FPos += 5;
    const auto equals = [&] {
      SkipBlanks();
      Expect('=');
      SkipBlanks();
    };
    const auto quoted = [&]() -> std::string_view {
      if (!At('"') && !At('\'')) Decline(TDeclineReason::Declaration);
      const char quote = FText[FPos++];
      const std::size_t close = FText.find(quote, FPos);
      if (close == std::string_view::npos) Decline(TDeclineReason::Declaration);
      const std::string_view value = FText.substr(FPos, close - FPos);
      FPos = close + 1;
      return value;
    };
    if (!SkipBlanks() || !StartsWith("version")) Decline(TDeclineReason::Declaration);
    FPos += 7;
    equals();
    if (quoted() != "1.0") Decline(TDeclineReason::Declaration);
    bool encoding = false;
    bool standalone = false;
    while (true) {
      const bool blank = SkipBlanks();
      if (StartsWith("?>")) break;
      if (!blank) Decline(TDeclineReason::Declaration);
      if (!encoding && !standalone && StartsWith("encoding")) {
        FPos += 8;
        equals();
        const std::string_view name = quoted();
        if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])))
          Decline(TDeclineReason::Declaration);
        for (const char c : name) {
          if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            Decline(TDeclineReason::Declaration);
        }
        encoding = true;
      } else if (!standalone && StartsWith("standalone")) {
        FPos += 10;
        equals();
        const std::string_view value = quoted();
        if (value != "yes" && value != "no") Decline(TDeclineReason::Declaration);
        standalone = true;
      } else {
        Decline(TDeclineReason::Declaration);
      }
    }
    FPos += 2;
    FResult.declarationLength = FPos;
  }

  // The quoted value the lexer found, decoded into FValues: references resolved, tabs made
  // blanks.
  void AttributeValue(const markup::TAttribute& AItem, TAttribute& AAttribute) {
    if (AItem.quote == 0 || !AItem.closed) Decline(TDeclineReason::Malformed);
    FPos = AItem.valueStart;
    AAttribute.valueStart = FValues.size();
    const std::size_t start = FPos;
    while (FPos < AItem.valueEnd) {
      const auto c = static_cast<unsigned char>(FText[FPos]);
      if (c == '<') Decline(TDeclineReason::Malformed);
      if (c == '&') {
        AppendUtf8(FValues, Reference());
      } else if (c == '\t') {
        FValues += ' ';
        ++FPos;
      } else if (c < 0x20) {
        Decline(TDeclineReason::Character);
      } else if (c >= 0x80) {
        const std::size_t length = CharacterLength();
        FValues.append(FText.substr(FPos, length));
        FPos += length;
      } else {
        FValues += static_cast<char>(c);
        ++FPos;
      }
      if (FPos - start > kMaxRun) Decline(TDeclineReason::Size);
    }
    // A reference is never read past the closing quote: its name or digits would hold it.
    if (FPos != AItem.valueEnd) Decline(TDeclineReason::Character);
    AAttribute.valueEnd = FValues.size();
  }

  std::string_view ValueOf(const TAttribute& AAttribute) const {
    return std::string_view{FValues}.substr(AAttribute.valueStart,
                                            AAttribute.valueEnd - AAttribute.valueStart);
  }

  // The URI bound to APrefix in scope below FBindings[AAbove]; null when unbound.
  const std::string_view* Lookup(std::string_view APrefix, std::size_t AAbove) const {
    for (std::size_t k = AAbove; k > 0; --k) {
      if (FBindings[k - 1].prefix == APrefix) return &FBindings[k - 1].uri;
    }
    return nullptr;
  }

  // A namespace URI the canonical form accepts: absolute, as libxml2 parses it.
  void CheckNamespaceUri(std::string_view AUri) {
    if (AUri == FLastUri) return;
    for (const char c : AUri) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 128 || !kUriChar[u]) Decline(TDeclineReason::Namespace);
    }
    if (AUri == kXmlNamespace || AUri == kXmlnsNamespace) Decline(TDeclineReason::Namespace);
    const std::size_t colon = AUri.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(AUri[0])))
      Decline(TDeclineReason::Namespace);
    for (const char c : AUri.substr(0, colon)) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
        Decline(TDeclineReason::Namespace);
    }
    const std::string copy{AUri};
    const XmlUriPtr parsed{xmlParseURI(copy.c_str())};
    if (!parsed || !parsed->scheme || parsed->scheme[0] == '\0') Decline(TDeclineReason::Namespace);
    FLastUri = AUri;
  }

  void CloseStartTag() {
    if (FStartTagOpen) {
      FResult.serialised += '>';
      FStartTagOpen = false;
    }
  }

  // The start tag the lexer began at ATag, read to its end. Between its parts only blanks, and
  // at least one before each attribute; every value quoted.
  void StartTag(markup::TToken& ATag) {
    const std::size_t tagStart = ATag.start;
    std::string_view prefix;
    std::string_view local;
    const std::string_view name = Name(ATag.nameStart, ATag.nameEnd, ATag.plainName, prefix, local);
    if (prefix == "xml" || prefix == "xmlns") Decline(TDeclineReason::Name);
    FAttributes.clear();
    FDeclarations.clear();
    FValues.clear();
    std::size_t previous = ATag.nameEnd;
    markup::TAttribute item;
    while (FLexer.NextAttribute(ATag, item)) {
      if (!Blanks(previous, item.start, true)) Decline(TDeclineReason::Malformed);
      TAttribute attribute{};
      attribute.name =
          Name(item.start, item.nameEnd, item.plainName, attribute.prefix, attribute.local);
      if (item.equals == markup::kNone || !Blanks(item.nameEnd, item.equals) || item.quote == 0 ||
          !Blanks(item.equals + 1, item.valueStart - 1))
        Decline(TDeclineReason::Malformed);
      AttributeValue(item, attribute);
      previous = item.end;
      const std::string_view raw = FText.substr(item.valueStart, item.valueEnd - item.valueStart);
      if (FAttributes.size() + FDeclarations.size() >= kMaxAttributes)
        Decline(TDeclineReason::Size);
      if (attribute.prefix.empty() && attribute.local == "xmlns") {
        if (!raw.empty()) CheckNamespaceUri(raw);
        FDeclarations.push_back({{}, raw});
      } else if (attribute.prefix == "xmlns") {
        if (attribute.local == "xml" || attribute.local == "xmlns" || raw.empty())
          Decline(TDeclineReason::Namespace);
        CheckNamespaceUri(raw);
        FDeclarations.push_back({attribute.local, raw});
      } else {
        if (attribute.prefix == "xml") Decline(TDeclineReason::Name);
        FAttributes.push_back(attribute);
      }
    }
    if (!ATag.closed || !Blanks(previous, ATag.closeStart)) Decline(TDeclineReason::Malformed);
    const bool empty = ATag.kind == markup::TTokenKind::EmptyElementTag;

    const std::size_t below = FBindings.size();
    for (std::size_t k = 0; k < FDeclarations.size(); ++k) {
      for (std::size_t j = 0; j < k; ++j)
        if (FDeclarations[j].prefix == FDeclarations[k].prefix) Decline(TDeclineReason::Malformed);
      FBindings.push_back(FDeclarations[k]);
    }
    std::string_view uri;
    if (const std::string_view* bound = Lookup(prefix, FBindings.size())) {
      uri = *bound;
    } else if (!prefix.empty()) {
      Decline(TDeclineReason::Namespace);
    }
    for (std::size_t k = 0; k < FAttributes.size(); ++k) {
      TAttribute& attribute = FAttributes[k];
      if (!attribute.prefix.empty()) {
        const std::string_view* bound = Lookup(attribute.prefix, FBindings.size());
        if (!bound || bound->empty()) Decline(TDeclineReason::Namespace);
        attribute.uri = *bound;
      }
      for (std::size_t j = 0; j < k; ++j) {
        const TAttribute& other = FAttributes[j];
        if (other.name == attribute.name || (!attribute.uri.empty() && other.uri == attribute.uri &&
                                             other.local == attribute.local))
          Decline(TDeclineReason::Malformed);
      }
    }

    if (local == "Signature" && uri == kDsigNamespace) {
      // A second signature makes a document of several, which the tree path signs whole.
      if (FSignatureFound) Decline(TDeclineReason::Template);
      Signature(tagStart, below);
      return;
    }
    if (FOpen.size() >= kMaxDepth) Decline(TDeclineReason::Size);
    CloseStartTag();
    Serialise(name);
    Canonicalise(name, below);
    if (empty) {
      FResult.serialised += "/>";
      FDigest.Put("</");
      FDigest.Put(name);
      FDigest.Put('>');
      FBindings.resize(below);
      return;
    }
    FOpen.push_back({name, below});
    FStartTagOpen = true;
  }

  // The template stands where the signed element will: it is neither serialised nor
  // canonicalised (the enveloped-signature transform leaves it out).
  void Signature(std::size_t ATagStart, std::size_t ABelow) {
    if (FOpen.empty() || FText.substr(ATagStart, FTemplate.size()) != FTemplate)
      Decline(TDeclineReason::Template);
    FSignatureFound = true;
    CloseStartTag();
    FResult.signatureAt = FResult.serialised.size();
    for (std::size_t k = ABelow; k > 0; --k) {
      const TBinding& binding = FBindings[k - 1];
      if (binding.prefix.empty()) continue;
      const bool shadowed =
          std::any_of(FResult.prefixesInScope.begin(), FResult.prefixesInScope.end(),
                      [&](const auto& known) { return known.first == binding.prefix; });
      if (!shadowed) FResult.prefixesInScope.emplace_back(binding.prefix, binding.uri);
    }
    FBindings.resize(ABelow);
    FLexer.Seek(ATagStart + FTemplate.size());
  }

  // The start tag as the serialiser writes it, but its closing '>' or "/>": declarations, then
  // attributes, in the order written.
  void Serialise(std::string_view AName) {
    std::string& out = FResult.serialised;
    out += '<';
    out += AName;
    for (const TBinding& declaration : FDeclarations) {
      out += declaration.prefix.empty() ? " xmlns" : " xmlns:";
      out += declaration.prefix;
      out += "=\"";
      out += declaration.uri;
      out += '"';
    }
    for (const TAttribute& attribute : FAttributes) {
      out += ' ';
      out += attribute.name;
      out += "=\"";
      PutEscaped(ValueOf(attribute), kSerialisedValue,
                 [&out](std::string_view piece) { out.append(piece); });
      out += '"';
    }
  }

  // The start tag in canonical form: the declarations that change a binding of the parent's
  // scope, by prefix; attributes without a namespace by name, then the others by namespace
  // and name.
  void Canonicalise(std::string_view AName, std::size_t ABelow) {
    FDigest.Put('<');
    FDigest.Put(AName);
    FRendered.clear();
    for (const TBinding& declaration : FDeclarations) {
      const std::string_view* parent = Lookup(declaration.prefix, ABelow);
      const std::string_view inherited = parent ? *parent : std::string_view{};
      if (declaration.prefix.empty() ? declaration.uri != inherited
                                     : !parent || *parent != declaration.uri)
        FRendered.push_back(&declaration);
    }
    std::sort(FRendered.begin(), FRendered.end(),
              [](const TBinding* a, const TBinding* b) { return a->prefix < b->prefix; });
    for (const TBinding* declaration : FRendered) {
      FDigest.Put(declaration->prefix.empty() ? " xmlns" : " xmlns:");
      FDigest.Put(declaration->prefix);
      FDigest.Put("=\"");
      FDigest.Put(declaration->uri);
      FDigest.Put('"');
    }
    FSorted.clear();
    for (const TAttribute& attribute : FAttributes) FSorted.push_back(&attribute);
    std::sort(FSorted.begin(), FSorted.end(), [](const TAttribute* a, const TAttribute* b) {
      if (a->uri.empty() != b->uri.empty()) return a->uri.empty();
      if (a->uri != b->uri) return a->uri < b->uri;
      return a->local < b->local;
    });
    for (const TAttribute* attribute : FSorted) {
      FDigest.Put(' ');
      FDigest.Put(attribute->name);
      FDigest.Put("=\"");
      PutEscaped(ValueOf(*attribute), kCanonicalValue,
                 [this](std::string_view piece) { FDigest.Put(piece); });
      FDigest.Put('"');
    }
    FDigest.Put('>');
  }

  void EndTag(const markup::TToken& ATag) {
    std::string_view prefix;
    std::string_view local;
    const std::string_view name = Name(ATag.nameStart, ATag.nameEnd, ATag.plainName, prefix, local);
    if (!ATag.closed || !Blanks(ATag.nameEnd, ATag.closeStart)) Decline(TDeclineReason::Malformed);
    const TOpen open = FOpen.back();
    if (name != open.name) Decline(TDeclineReason::Malformed);
    FOpen.pop_back();
    FBindings.resize(open.bindings);
    if (FStartTagOpen) {
      FResult.serialised += "/>";
      FStartTagOpen = false;
    } else {
      FResult.serialised += "</";
      FResult.serialised += name;
      FResult.serialised += '>';
    }
    FDigest.Put("</");
    FDigest.Put(name);
    FDigest.Put('>');
  }

  // Character data up to the next '<'. Both forms write the same bytes but for line breaks
  // and carriage returns, which only references bring in.
  void Content(std::size_t AStart) {
    CloseStartTag();
    std::string& out = FResult.serialised;
    FPos = AStart;
    const std::size_t start = FPos;
    const std::size_t end = FText.size();
    std::size_t plain = FPos;
    const auto flush = [&] {
      const std::string_view run = FText.substr(plain, FPos - plain);
      out.append(run);
      FDigest.Put(run);
    };
    while (FPos < end) {
      const auto c = static_cast<unsigned char>(FText[FPos]);
      if (kPlainText[c]) {
        ++FPos;
        continue;
      }
      if (c >= 0x80) {
        FPos += CharacterLength();
        continue;
      }
      if (c == '<') break;
      flush();
      if (c == '>') {
        if (FPos - start >= 2 && FText[FPos - 1] == ']' && FText[FPos - 2] == ']')
          Decline(TDeclineReason::Malformed);
        out += "&gt;";
        FDigest.Put("&gt;");
        ++FPos;
      } else if (c == '&') {
        ReferencedCharacter(Reference());
      } else {
        Decline(TDeclineReason::Character);  // a control character
      }
      plain = FPos;
    }
    flush();
    if (FPos - start > kMaxRun) Decline(TDeclineReason::Size);
  }

  void ReferencedCharacter(char32_t c) {
    std::string& out = FResult.serialised;
    switch (c) {
      case '<':
        out += "&lt;";
        FDigest.Put("&lt;");
        return;
      case '>':
        out += "&gt;";
        FDigest.Put("&gt;");
        return;
      case '&':
        out += "&amp;";
        FDigest.Put("&amp;");
        return;
      case '\r':
        out += "&#13;";
        FDigest.Put("&#xD;");
        return;
      case '\n':
        out += "&#10;";
        FDigest.Put('\n');
        return;
      default: {
        const std::size_t from = out.size();
        AppendUtf8(out, c);
        FDigest.Put(std::string_view{out}.substr(from));
      }
    }
  }

  std::string_view FText;
  std::string_view FTemplate;
  markup::TLexer<char> FLexer;
  std::size_t FPos = 0;  // where the declaration, a value or a text is being read
  TStreamedDocument FResult;
  TCanonicalDigest FDigest;
  std::vector<TBinding> FBindings;
  std::vector<TOpen> FOpen;
  std::vector<TAttribute> FAttributes;
  std::vector<TBinding> FDeclarations;
  std::vector<const TBinding*> FRendered;
  std::vector<const TAttribute*> FSorted;
  std::string FValues;
  std::string_view FLastUri;
  bool FStartTagOpen = false;
  bool FSignatureFound = false;
};

}  // namespace

TDeclineCounter::TDeclineCounter(TextView ASource) : FSource(ASource) {}

void TDeclineCounter::Count(TDeclineReason AReason) noexcept {
  FTotal.fetch_add(1, std::memory_order_relaxed);
  // The first of each reason only: a client sending the same kind of document all day must not
  // fill the journal.
  if (FByReason[static_cast<std::size_t>(AReason)].fetch_add(1, std::memory_order_relaxed) == 0)
    diagnostics::Report(FSource, Text{kDeclinedDocument} + Text{DeclineReasonText(AReason)},
                        diagnostics::TReportKind::Notice);
}

std::uint64_t TDeclineCounter::Total() const noexcept {
  return FTotal.load(std::memory_order_relaxed);
}

std::uint64_t TDeclineCounter::Of(TDeclineReason AReason) const noexcept {
  return FByReason[static_cast<std::size_t>(AReason)].load(std::memory_order_relaxed);
}

TextView DeclineReasonText(TDeclineReason AReason) noexcept {
  switch (AReason) {
    case TDeclineReason::Size:
      return u"tamanho além dos limites da leitura em uma passagem";
    case TDeclineReason::Markup:
      return u"comentário, seção CDATA, instrução de processamento ou tipo de documento";
    case TDeclineReason::Declaration:
      return u"declaração XML fora da forma simples";
    case TDeclineReason::Name:
      return u"nome fora do ASCII ou com o prefixo xml ou xmlns";
    case TDeclineReason::Namespace:
      return u"namespace não declarado ou URI fora da forma simples";
    case TDeclineReason::Character:
      return u"caractere ou referência fora da forma simples";
    case TDeclineReason::Malformed:
      return u"marcação fora da forma simples ou malformada";
    case TDeclineReason::Template:
      return u"sem o modelo de assinatura no lugar esperado";
    case TDeclineReason::Digest:
      return u"falha do resumo SHA-1";
    case TDeclineReason::SignedApart:
      return u"falha ao assinar o modelo à parte do documento";
  }
  return u"";
}

TDeclineCounter& StreamDeclines() noexcept {
  static TDeclineCounter counter{kDeclineSource};
  return counter;
}

std::optional<TStreamedDocument> StreamEnvelopedDocument(std::string_view ADocument,
                                                         std::string_view ATemplate,
                                                         TDeclineCounter& ADeclines) {
  // The tree path refuses what the parser cannot address; that refusal is its to word.
  if (ADocument.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    ADeclines.Count(TDeclineReason::Size);
    return std::nullopt;
  }
  try {
    return TDocumentReader(ADocument, ATemplate).Read();
  } catch (const TDeclined& declined) {
    ADeclines.Count(declined.reason);
    return std::nullopt;
  }
}

}  // namespace xmldsig
