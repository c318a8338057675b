#include "server/classes/signer_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/xml_declaration.h"
#include "server/classes/signer_messages.h"

namespace signer_text {
namespace {

bool IsLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

// Writes AFrom without its CR and LF characters at AOut; returns the end of what it wrote.
char16_t* CopyWithoutLineBreaks(TextView AFrom, char16_t* AOut) {
  char16_t* out = AOut;
  const char16_t* in = AFrom.data();
  const char16_t* const end = in + AFrom.size();
  // Line breaks are rare: blocks without any are copied whole (the test vectorises).
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
  for (; in != end; ++in) {
    *out = *in;
    out += IsLineBreak(*in) ? 0 : 1;
  }
  return out;
}

void RemoveLineBreaks(Text& s) {
  s.erase(std::remove_if(s.begin(), s.end(), [](char16_t c) { return IsLineBreak(c); }), s.end());
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

bool IsNameChar(char16_t c) {
  return c == u':' || c == u'_' || c == u'-' || c == u'.' || (c >= u'0' && c <= u'9') ||
         (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c > 0x7F;
}

// Position of the first closing tag, from AFrom on, of an element named Signature in any
// prefix ("</Signature>", "</ds:Signature>"); npos when there is none.
std::size_t FindSignatureEnd(const Text& s, std::size_t from) {
  constexpr TextView kName = u"Signature>";
  for (std::size_t pos = s.find(kName, from); pos != Text::npos; pos = s.find(kName, pos + 1)) {
    std::size_t start = pos;
    if (start > 0 && s[start - 1] == u':') {  // a prefix: walk back over it
      --start;
      while (start > 0 && IsNameChar(s[start - 1]) && s[start - 1] != u':') --start;
    }
    if (start >= 2 && s[start - 2] == u'<' && s[start - 1] == u'/') return start - 2;
  }
  return Text::npos;
}

std::size_t LeadingDeclarationEnd(const Text& s) {
  // "<?xml-stylesheet" and the like are signed processing instructions, not a declaration.
  if (!xml::StartsWithXmlDeclaration(s)) return Text::npos;
  const std::size_t end = s.find(signer_messages::kDeclarationEnd);
  return end == Text::npos ? Text::npos : end + signer_messages::kDeclarationEnd.size();
}

}  // namespace

Text PrepareDocument(TextView AXMLDocument) {
  // One pass over the text: batch documents may hold many placeholders in megabytes of text.
  // Placeholders are found in the text as given, line breaks and all.
  const bool hasSignature =
      TMarkerSearch(signer_messages::kSignatureMarker).Find(AXMLDocument) != TextView::npos;
  const TextView from = signer_messages::kPlaceholder;
  const TextView to = hasSignature ? TextView{} : signer_messages::kSignatureTemplate;
  const TMarkerSearch placeholder(from);
  std::vector<std::size_t> positions;
  for (std::size_t pos = placeholder.Find(AXMLDocument); pos != TextView::npos;
       pos = placeholder.Find(AXMLDocument, pos + from.size())) {
    positions.push_back(pos);
  }
  Text out(AXMLDocument.size() + positions.size() * to.size(), u'\0');
  char16_t* o = out.data();
  std::size_t start = 0;
  for (const std::size_t pos : positions) {
    o = CopyWithoutLineBreaks(AXMLDocument.substr(start, pos - start), o);
    o = CopyWithoutLineBreaks(to, o);
    start = pos + from.size();
  }
  o = CopyWithoutLineBreaks(AXMLDocument.substr(start), o);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

Text CaptureDeclaration(TextView AXMLDocument) {
  // A byte-order mark that survived decoding belongs to the prefix the output starts with.
  const std::size_t start = AXMLDocument.substr(0, 1) == u"\uFEFF" ? 1 : 0;
  if (!xml::StartsWithXmlDeclaration(AXMLDocument.substr(start))) return {};
  const std::size_t end = AXMLDocument.find(signer_messages::kDeclarationEnd);
  if (end == TextView::npos) return {};
  return Text{AXMLDocument.substr(0, end + signer_messages::kDeclarationEnd.size())};
}

Text PostProcess(Text s, TextView ADeclaration) {
  RemoveLineBreaks(s);

  // The signature value and the key information may hold spaces that the serialiser put in
  // the base64 texts; what follows the signature element was signed as it stands.
  if (const std::size_t p = TMarkerSearch(signer_messages::kSignatureValueTag).Find(s);
      p != Text::npos) {
    const std::size_t from = p + signer_messages::kSignatureValueTag.size();
    std::size_t to = FindSignatureEnd(s, from);
    if (to == Text::npos) to = s.size();
    const auto first = s.begin() + static_cast<std::ptrdiff_t>(from);
    const auto last = s.begin() + static_cast<std::ptrdiff_t>(to);
    s.erase(std::remove(first, last, u' '), last);
  }

  const std::size_t firstCert = TMarkerSearch(signer_messages::kCertificateTag).Find(s);
  const std::size_t lastCert = s.rfind(signer_messages::kCertificateTag);
  if (firstCert != Text::npos && lastCert != firstCert) s.erase(firstCert, lastCert - firstCert);

  const std::size_t declarationEnd = LeadingDeclarationEnd(s);
  if (ADeclaration.empty()) {
    if (declarationEnd != Text::npos) s.erase(0, declarationEnd);
  } else if (declarationEnd == Text::npos) {
    s.insert(0, ADeclaration);
  } else if (TextView{s}.substr(0, declarationEnd) != ADeclaration) {
    s.replace(0, declarationEnd, ADeclaration);
  }
  return s;
}

}  // namespace signer_text
