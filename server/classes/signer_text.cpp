#include "server/classes/signer_text.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/exception.h"
#include "platform/xml_declaration.h"
#include "platform/xmldsig/markup_lexer.h"
#include "server/classes/signer_messages.h"

namespace signer_text {
namespace {

bool IsLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

// Writes AFrom without its CR and LF characters at AOut; returns the end of what it wrote.
char16_t* CopyWithoutLineBreaks(TextView AFrom, char16_t* AOut) {
  char16_t* out = AOut;
  const char16_t* in = AFrom.data();
  const char16_t* const end = in + AFrom.size();
  // Line breaks are rare next to the characters between them: blocks without any are copied
  // whole, with SSE2 where there is.
#ifdef __SSE2__
  constexpr std::ptrdiff_t kBlock = 8;
  const __m128i cr = _mm_set1_epi16('\r');
  const __m128i lf = _mm_set1_epi16('\n');
  for (; end - in >= kBlock; in += kBlock) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const int breaks =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(units, cr), _mm_cmpeq_epi16(units, lf)));
    if (breaks == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), units);
      out += kBlock;
      continue;
    }
    for (std::ptrdiff_t k = 0; k < kBlock; ++k) {
      *out = in[k];
      out += IsLineBreak(in[k]) ? 0 : 1;
    }
  }
#else
  constexpr std::ptrdiff_t kBlock = 32;
  for (; end - in >= kBlock; in += kBlock) {
    unsigned found = 0;
    for (std::ptrdiff_t k = 0; k < kBlock; ++k) found |= IsLineBreak(in[k]) ? 1u : 0u;
    if (found == 0) {
      std::memcpy(out, in, kBlock * sizeof(char16_t));
      out += kBlock;
      continue;
    }
    for (std::ptrdiff_t k = 0; k < kBlock; ++k) {
      *out = in[k];
      out += IsLineBreak(in[k]) ? 0 : 1;
    }
  }
#endif
  for (; in != end; ++in) {
    *out = *in;
    out += IsLineBreak(*in) ? 0 : 1;
  }
  return out;
}

// Appends AFrom without its CR and LF characters to AOut (reserved by the caller), a chunk at a
// time through a small buffer: the destination is never zero-filled first.
void AppendWithoutLineBreaks(TextView AFrom, Text& AOut) {
  constexpr std::size_t kChunk = text::kConversionChunk;
  char16_t buffer[kChunk];
  for (std::size_t at = 0; at < AFrom.size(); at += kChunk) {
    const char16_t* const end = CopyWithoutLineBreaks(AFrom.substr(at, kChunk), buffer);
    AOut.append(buffer, static_cast<std::size_t>(end - buffer));
  }
}

// Removes every CR and LF in place. The serialiser writes few: blocks without any are passed
// over whole (the test vectorises) and nothing moves before the first one.
template <class TChar>
void RemoveLineBreaks(std::basic_string<TChar>& s) {
  constexpr std::size_t kBlock = 32;
  std::size_t first = 0;
  for (; first + kBlock <= s.size(); first += kBlock) {
    unsigned found = 0;
    for (std::size_t k = 0; k < kBlock; ++k)
      found |= s[first + k] == TChar('\r') || s[first + k] == TChar('\n') ? 1u : 0u;
    if (found != 0) break;
  }
  const auto from = std::find_if(s.begin() + static_cast<std::ptrdiff_t>(first), s.end(),
                                 [](TChar c) { return c == TChar('\r') || c == TChar('\n'); });
  s.erase(
      std::remove_if(from, s.end(), [](TChar c) { return c == TChar('\r') || c == TChar('\n'); }),
      s.end());
}

// TextView::find for the markers searched in whole documents, skipping ahead as
// Boyer-Moore-Horspool does (the plain search stops at every '<' of the markup). The shift
// table is indexed by the low byte of a character, which only makes some shifts shorter.
class TMarkerSearch {
 public:
  explicit TMarkerSearch(TextView APattern) : FPattern(APattern) {
    FShift.fill(static_cast<std::uint32_t>(APattern.size()));
    for (std::size_t i = 0; i + 1 < APattern.size(); ++i) {
      FShift[APattern[i] & 0xFF] = static_cast<std::uint32_t>(APattern.size() - 1 - i);
    }
  }

  std::size_t Find(TextView AText, std::size_t AFrom = 0) const {
    const std::size_t n = FPattern.size();
    if (n == 0) return AFrom <= AText.size() ? AFrom : TextView::npos;
    const char16_t last = FPattern[n - 1];
    for (std::size_t pos = AFrom; pos + n <= AText.size();) {
      const char16_t c = AText[pos + n - 1];
      if (c == last && AText.compare(pos, n - 1, FPattern.substr(0, n - 1)) == 0) return pos;
      pos += FShift[c & 0xFF];
    }
    return TextView::npos;
  }

 private:
  TextView FPattern;
  std::array<std::uint32_t, 256> FShift;
};

// Whether AText equals the ASCII AAscii, unit for unit.
template <class TChar>
bool EqualsAscii(std::basic_string_view<TChar> AText, std::string_view AAscii) {
  if (AText.size() != AAscii.size()) return false;
  for (std::size_t i = 0; i < AText.size(); ++i)
    if (AText[i] != TChar(AAscii[i])) return false;
  return true;
}

// A span of the serialised document that the text steps change.
struct TEdit {
  std::size_t start;
  std::size_t end;
  bool removeWhole;  // else only the blanks of the span go
};

// Finds, in the serialised document, the text of the base64 elements of the signed Signature
// (the first Signature element of the XML-DSig namespace) and the certificate elements of its
// key information. The text is read as markup: comments, CDATA sections, processing
// instructions and declarations are skipped whole and attribute values are read within their
// quotes, so nothing that only looks like a tag is ever taken for one. The serialiser's text is
// well-formed: a namespace declaration counts only with its value quoted.
template <class TChar>
class TSignatureLocator {
  using TView = std::basic_string_view<TChar>;
  using TString = std::basic_string<TChar>;

 public:
  explicit TSignatureLocator(TView AText) : FText(AText) {}

  std::vector<TEdit> Edits() {
    markup::TLexer<TChar> lexer(FText);
    markup::TToken token;
    while (!FDone && lexer.Next(token)) {
      switch (token.kind) {
        case markup::TTokenKind::Text:
          Content(token.start, token.end);
          break;
        case markup::TTokenKind::StartTag:
          StartTag(lexer, token);
          break;
        case markup::TTokenKind::EndTag:
          EndTag(token);
          break;
        default:  // comments, CDATA sections, processing instructions, declarations
          break;
      }
    }
    std::sort(FEdits.begin(), FEdits.end(),
              [](const TEdit& a, const TEdit& b) { return a.start < b.start; });
    return std::move(FEdits);
  }

 private:
  struct TBinding {
    TString prefix;
    TString uri;
  };
  struct TOpen {
    std::size_t start;
    std::size_t bindings;  // FBindings' size before this element's declarations
    bool base64;           // a base64 element of the signed Signature
    bool keyInfo;          // the key information of the signed Signature, or within it
    bool certificate;      // an X509Certificate element within the key information
  };

  // Whether the qualified name is the named XML-DSig element in the current scope.
  bool IsDsig(TView AQName, std::string_view AName) const {
    const std::size_t colon = AQName.find(TChar(':'));
    const TView prefix = colon == TView::npos ? TView{} : AQName.substr(0, colon);
    const TView local = colon == TView::npos ? AQName : AQName.substr(colon + 1);
    if (!EqualsAscii(local, AName)) return false;
    for (auto it = FBindings.rbegin(); it != FBindings.rend(); ++it) {
      if (TView{it->prefix} == prefix) return EqualsAscii(TView{it->uri}, kDsigNamespace);
    }
    return false;
  }

  void StartTag(markup::TLexer<TChar>& ALexer, markup::TToken& ATag) {
    const std::size_t pos = ATag.start;
    const TView name = FText.substr(ATag.nameStart, ATag.nameEnd - ATag.nameStart);
    const std::size_t bindings = FBindings.size();
    markup::TAttribute item;
    while (ALexer.NextAttribute(ATag, item)) {
      if (item.equals == markup::kNone || item.quote == 0) continue;
      const TView attribute = FText.substr(item.start, item.nameEnd - item.start);
      const TView value = FText.substr(item.valueStart, item.valueEnd - item.valueStart);
      if (EqualsAscii(attribute, "xmlns")) {
        FBindings.push_back({TString{}, TString{value}});
      } else if (EqualsAscii(attribute.substr(0, 6), "xmlns:")) {
        FBindings.push_back({TString{attribute.substr(6)}, TString{value}});
      }
    }
    const bool empty = ATag.kind == markup::TTokenKind::EmptyElementTag;
    const std::size_t i = ATag.end;

    TOpen open{pos, bindings, false, false, false};
    bool opensSignature = false;
    if (!FInSignature) {
      opensSignature = IsDsig(name, "Signature");
      FInSignature = opensSignature;
      FSignatureDepth = FOpen.size();
    } else {
      const bool inKeyInfo = !FOpen.empty() && FOpen.back().keyInfo;
      open.keyInfo = inKeyInfo || (FOpen.size() == FSignatureDepth + 1 && IsDsig(name, "KeyInfo"));
      open.certificate = inKeyInfo && IsDsig(name, "X509Certificate");
      open.base64 =
          open.certificate || IsDsig(name, "SignatureValue") || IsDsig(name, "DigestValue");
    }
    if (!empty) {
      FOpen.push_back(open);
      return;
    }
    FBindings.resize(bindings);
    if (open.certificate) FCertificates.push_back({pos, i});
    if (open.keyInfo && !FOpen.back().keyInfo) CloseKeyInfo();
    if (opensSignature) FDone = true;  // an empty Signature element: nothing to clean
  }

  void EndTag(const markup::TToken& ATag) {
    const std::size_t end = ATag.end;
    if (FOpen.empty()) return;
    const TOpen open = FOpen.back();
    FOpen.pop_back();
    FBindings.resize(open.bindings);
    if (open.certificate) FCertificates.push_back({open.start, end});
    if (open.keyInfo && (FOpen.empty() || !FOpen.back().keyInfo)) CloseKeyInfo();
    if (FInSignature && FOpen.size() == FSignatureDepth) FDone = true;
  }

  void Content(std::size_t start, std::size_t end) {
    if (!FOpen.empty() && FOpen.back().base64) FEdits.push_back({start, end, false});
  }

  // Only the last certificate of the key information stays: the signer's, written last.
  void CloseKeyInfo() {
    for (std::size_t k = 0; k + 1 < FCertificates.size(); ++k) {
      FEdits.push_back({FCertificates[k].first, FCertificates[k].second, true});
    }
    FCertificates.clear();
  }

  static constexpr std::string_view kDsigNamespace = "http://www.w3.org/2000/09/xmldsig#";

  TView FText;
  std::vector<TBinding> FBindings;
  std::vector<TOpen> FOpen;
  std::vector<std::pair<std::size_t, std::size_t>> FCertificates;
  std::vector<TEdit> FEdits;
  bool FInSignature = false;
  std::size_t FSignatureDepth = 0;
  bool FDone = false;
};

Text ApplyEdits(const Text& s, const std::vector<TEdit>& edits) {
  if (edits.empty()) return s;
  Text out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (const TEdit& edit : edits) {
    if (edit.start < pos) continue;  // within a span already removed
    out.append(s, pos, edit.start - pos);
    if (!edit.removeWhole) {
      for (std::size_t k = edit.start; k < edit.end; ++k) {
        if (s[k] != u' ' && s[k] != u'\t') out.push_back(s[k]);
      }
    }
    pos = edit.end;
  }
  out.append(s, pos, Text::npos);
  return out;
}

// Past the XML declaration that opens AText at AFrom; npos without one.
std::size_t DeclarationEnd(TextView AText, std::size_t AFrom) {
  // "<?xml-stylesheet" and the like are signed processing instructions, not a declaration.
  if (!xml::StartsWithXmlDeclaration(AText.substr(AFrom))) return Text::npos;
  markup::TLexer<char16_t> lexer(AText, AFrom);
  markup::TToken declaration;
  return lexer.Next(declaration) && declaration.closed ? declaration.end : Text::npos;
}

}  // namespace

namespace {

// Where the placeholders of a document stand and what each becomes.
struct TPlaceholders {
  std::vector<std::size_t> positions;
  TextView replacement;
};

TPlaceholders FindPlaceholders(TextView AXMLDocument,
                               TPlaceholderUse AUse = TPlaceholderUse::AsWritten) {
  // One pass over the text: batch documents may hold many placeholders in megabytes of text.
  // Placeholders are found in the text as given, line breaks and all.
  const bool hasSignature =
      AUse == TPlaceholderUse::AsWritten &&
      TMarkerSearch(signer_messages::kSignatureMarker).Find(AXMLDocument) != TextView::npos;
  const TextView from = signer_messages::kPlaceholder;
  TPlaceholders found;
  found.replacement = hasSignature ? TextView{} : signer_messages::kSignatureTemplate;
  const TMarkerSearch placeholder(from);
  for (std::size_t pos = placeholder.Find(AXMLDocument); pos != TextView::npos;
       pos = placeholder.Find(AXMLDocument, pos + from.size())) {
    found.positions.push_back(pos);
  }
  return found;
}

bool TooManyTemplates(const TPlaceholders& APlaceholders) {
  return !APlaceholders.replacement.empty() && APlaceholders.positions.size() > kMaxPlaceholders;
}

}  // namespace

bool HasPlaceholderBesideSignature(TextView AXMLDocument) {
  return TMarkerSearch(signer_messages::kPlaceholder).Find(AXMLDocument) != TextView::npos &&
         TMarkerSearch(signer_messages::kSignatureMarker).Find(AXMLDocument) != TextView::npos;
}

Text PrepareDocument(TextView AXMLDocument, TPlaceholderUse AUse) {
  const TPlaceholders placeholders = FindPlaceholders(AXMLDocument, AUse);
  if (TooManyTemplates(placeholders)) {
    Text unexpanded(AXMLDocument.size(), u'\0');
    unexpanded.resize(static_cast<std::size_t>(
        CopyWithoutLineBreaks(AXMLDocument, unexpanded.data()) - unexpanded.data()));
    throw Exception(Text{signer_messages::kLoadFailed} + unexpanded);
  }
  const TextView to = placeholders.replacement;
  const std::size_t skipped = signer_messages::kPlaceholder.size();
  Text out;
  out.reserve(AXMLDocument.size() + placeholders.positions.size() * to.size());
  std::size_t start = 0;
  for (const std::size_t pos : placeholders.positions) {
    AppendWithoutLineBreaks(AXMLDocument.substr(start, pos - start), out);
    AppendWithoutLineBreaks(to, out);
    start = pos + skipped;
  }
  AppendWithoutLineBreaks(AXMLDocument.substr(start), out);
  return out;
}

std::optional<std::string> PrepareDocumentUtf8(TextView AXMLDocument) {
  const TPlaceholders placeholders = FindPlaceholders(AXMLDocument);
  if (TooManyTemplates(placeholders)) return std::nullopt;
  const TextView to = placeholders.replacement;
  const std::size_t skipped = signer_messages::kPlaceholder.size();
  std::string out;
  out.reserve(text::Utf8Length(AXMLDocument) + placeholders.positions.size() * to.size());
  std::size_t start = 0;
  for (const std::size_t pos : placeholders.positions) {
    text::AppendToUtf8(AXMLDocument.substr(start, pos - start), out);
    text::AppendToUtf8(to, out);
    start = pos + skipped;
  }
  text::AppendToUtf8(AXMLDocument.substr(start), out);
  RemoveLineBreaks(out);
  return out;
}

Text CaptureDeclaration(TextView AXMLDocument) {
  // A byte-order mark that survived decoding belongs to the prefix the output starts with.
  const std::size_t start = AXMLDocument.substr(0, 1) == u"\uFEFF" ? 1 : 0;
  const std::size_t end = DeclarationEnd(AXMLDocument, start);
  if (end == TextView::npos) return {};
  return Text{AXMLDocument.substr(0, end)};
}

Text PostProcess(Text s, TextView ADeclaration) {
  RemoveLineBreaks(s);

  // Blanks in the base64 texts of the signed Signature, and certificates other than the
  // signer's in its key information; nothing outside that element is touched.
  s = ApplyEdits(s, TSignatureLocator<char16_t>(s).Edits());

  const std::size_t declarationEnd = DeclarationEnd(s, 0);
  if (ADeclaration.empty()) {
    if (declarationEnd != Text::npos) s.erase(0, declarationEnd);
  } else if (declarationEnd == Text::npos) {
    s.insert(0, ADeclaration);
  } else if (TextView{s}.substr(0, declarationEnd) != ADeclaration) {
    s.replace(0, declarationEnd, ADeclaration);
  }
  return s;
}

Text PostProcessUtf8(std::string ABody, TextView ADeclaration, TSignatureCleaning ACleaning) {
  RemoveLineBreaks(ABody);
  const std::vector<TEdit> edits = ACleaning == TSignatureCleaning::FirstSignature
                                       ? TSignatureLocator<char>(ABody).Edits()
                                       : std::vector<TEdit>{};
  // The edited text is converted straight into the result, after the declaration. Edits begin
  // and end at markup, so every piece is whole characters.
  Text out;
  out.reserve(ADeclaration.size() + ABody.size());
  out += ADeclaration;
  const std::string_view body{ABody};
  std::size_t pos = 0;
  for (const TEdit& edit : edits) {
    if (edit.start < pos) continue;  // within a span already removed
    text::AppendFromUtf8(body.substr(pos, edit.start - pos), out);
    if (!edit.removeWhole) {
      std::string kept;  // blanks are single bytes, never part of a wider character
      for (std::size_t k = edit.start; k < edit.end; ++k) {
        if (body[k] != ' ' && body[k] != '\t') kept.push_back(body[k]);
      }
      text::AppendFromUtf8(kept, out);
    }
    pos = edit.end;
  }
  text::AppendFromUtf8(body.substr(pos), out);
  return out;
}

}  // namespace signer_text
