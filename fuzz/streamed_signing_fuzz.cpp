// Signing reads plain documents in one pass without a tree and leaves every other one to the
// tree path; for any document both readings must give the same status text and the same signed
// text. Signs each input both ways with the fixed test key of signing_driver.h (which also
// decodes the input) and stops at the first difference, showing where the two texts part.
//
// Mutated bytes seldom stay in the plain form, so an input that starts with 0xFE (a byte that
// never begins UTF-8 text) drives a generator of such documents instead: every further byte
// picks the next choice of the document, and mutations move between documents both readings
// sign.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/signing_driver.h"
#include "platform/xmldsig/document_stream.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"

namespace {

struct TResult {
  Text signedXml = u"antes";
  Text status;
};

TResult Sign(const Text& ADocument, TDocumentReading AReading) {
  TResult result;
  TSignerNFSEDocument(AReading).sign(ADocument, *signing_fuzz::Signer().certificate,
                                     result.signedXml, result.status);
  return result;
}

// Whether the streamed reading reads the document itself rather than leaving it to the tree.
bool StreamReads(const Text& ADocument) {
  const std::optional<std::string> prepared = signer_text::PrepareDocumentUtf8(ADocument);
  return prepared && xmldsig::StreamEnvelopedDocument(
                         *prepared, text::ToUtf8(signer_messages::kSignatureTemplate));
}

// The text around AAt, in UTF-8 (a lone surrogate shows as U+FFFD).
std::string Around(const Text& AText, std::size_t AAt) {
  constexpr std::size_t kBefore = 60;
  constexpr std::size_t kAfter = 120;
  const std::size_t from = AAt > kBefore ? AAt - kBefore : 0;
  return text::ToUtf8(TextView{AText}.substr(from, AAt - from + kAfter));
}

[[noreturn]] void Differ(const char* AWhat, const Text& ADocument, const Text& ATree,
                         const Text& AStream) {
  const std::size_t common = std::min(ATree.size(), AStream.size());
  const std::size_t at =
      std::mismatch(ATree.begin(), ATree.begin() + static_cast<std::ptrdiff_t>(common),
                    AStream.begin())
          .first -
      ATree.begin();
  std::fprintf(stderr,
               "leituras divergem: %s (a leitura em fluxo %s o documento)\n"
               "primeira diferença na posição %zu (UTF-16); tamanhos: árvore %zu, fluxo %zu\n"
               "árvore: ...%s...\n"
               "fluxo:  ...%s...\n",
               AWhat, StreamReads(ADocument) ? "leu" : "recusou", at, ATree.size(), AStream.size(),
               Around(ATree, at).c_str(), Around(AStream, at).c_str());
  std::abort();
}

void CheckSameReadings(const Text& ADocument) {
  const TResult tree = Sign(ADocument, TDocumentReading::TreeOnly);
  const TResult stream = Sign(ADocument, TDocumentReading::Streamed);
  if (stream.status != tree.status) Differ("situação", ADocument, tree.status, stream.status);
  if (stream.signedXml != tree.signedXml)
    Differ("texto assinado", ADocument, tree.signedXml, stream.signedXml);
}

// Builds a document of the plain form from the choices in AData (zero once they run out):
// declarations, namespaces declared, redeclared and undeclared, prefixed names and attributes,
// references and characters outside ASCII in values and text, placeholders anywhere, blanks and
// line breaks where the form allows them. Some choices (names of the signature's own elements,
// names next to the reserved xml ones, stray markup characters) lead just outside the form.
class TPlainDocumentGenerator {
 public:
  TPlainDocumentGenerator(const std::uint8_t* AData, std::size_t ASize)
      : FData(AData), FSize(ASize) {}

  std::string Document() {
    static constexpr const char* kDeclarations[] = {
        "",
        "<?xml version=\"1.0\"?>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        "<?xml version='1.0' encoding='iso-8859-1' standalone='yes' ?>",
        "<?xml version=\"1.0\" standalone=\"no\"?>",
        "<?xml version = \"1.0\"\tencoding = \"x-1\"?>",
        "<?xml version=\"1.0\"\r\nencoding=\"UTF-8\"?>",
        "\n<?xml version=\"1.0\"?>",
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>"};
    static constexpr const char* kAround[] = {"", " ", "\r\n", "\t \n"};
    std::string out(Pick(kDeclarations));
    out += Pick(kAround);
    out += Element(0);
    out += Pick(kAround);
    return out;
  }

 private:
  static constexpr int kMaxDepth = 6;

  unsigned Next(std::size_t ABound) {
    const unsigned byte = FNext < FSize ? FData[FNext++] : 0;
    return ABound <= 1 ? 0 : byte % static_cast<unsigned>(ABound);
  }
  template <std::size_t N>
  std::string_view Pick(const char* const (&AChoices)[N]) {
    return AChoices[Next(N)];
  }
  bool Chance(unsigned AOneIn) { return Next(AOneIn) == 0; }

  std::string Quoted(std::string_view AValue) {
    const char quote = Chance(3) ? '\'' : '"';
    return quote + std::string(AValue) + quote;
  }

  std::string Value(bool AInAttribute) {
    static constexpr const char* kPieces[] = {"x",
                                              "&lt;",
                                              "&gt;",
                                              "&amp;",
                                              "&quot;",
                                              "&apos;",
                                              "&#10;",
                                              "&#13;",
                                              "&#9;",
                                              "\t",
                                              "\xC3\xA7",
                                              "&#x1F600;",
                                              "\xF0\x9F\x98\x80",
                                              ">",
                                              " ",
                                              "'",
                                              "&#xA;",
                                              "&#xD;",
                                              "&#x9;",
                                              "&#133;",
                                              "\xC2\x85",
                                              "\xE2\x80\xA8",
                                              "&#x2028;",
                                              "&#127;",
                                              "\x7F",
                                              "&#xFFFD;",
                                              "&#65;",
                                              "&#x00041;",
                                              "]]&gt;",
                                              "]]",
                                              "]",
                                              "\r\n",
                                              "\n",
                                              "\r",
                                              "&#32;",
                                              "  ",
                                              "=",
                                              "/",
                                              "?",
                                              "&#x3C;",
                                              "&#60;",
                                              "&#x10FFFF;",
                                              "\xEF\xBB\xBF"};
    std::string value;
    for (unsigned k = Next(5); k > 0; --k) {
      if (!AInAttribute && Chance(12)) {
        value += "<assinatura/>";
        continue;
      }
      value += Pick(kPieces);
    }
    return value;
  }

  std::string Blank() {
    static constexpr const char* kBlanks[] = {" ", "\t", " \n", "\r\n ", "  "};
    return std::string(Pick(kBlanks));
  }

  std::string Element(int ADepth) {
    static constexpr const char* kPrefixes[] = {"", "p", "q", "ds", "xmlfoo", "P", "p1"};
    static constexpr const char* kUris[] = {
        "urn:a",     "urn:b",           "http://x.org/n",  "http://www.w3.org/2000/09/xmldsig#",
        "urn:a#b?c", "http://a/%41",    "http://[::1]/",   "a+b.c-d:e",
        "urn:a:b:c", "http://a/b/../c", "http://A/B",      "mailto:x@y",
        "urn:",      "x:y;z=1",         "http://a/?q=[x]", "urn:%7e"};
    static constexpr const char* kNames[] = {
        "a",           "b",   "Rps", "Signature", "SignatureValue", "KeyInfo", "X509Certificate",
        "DigestValue", "a.b", "a-b", "_c",        "assinatura",     "xmlns",   "xml",
        "Id"};

    std::vector<std::string> prefixes = FScope.empty() ? std::vector<std::string>{} : FScope.back();
    std::string declarations;
    std::vector<std::string_view> declared;
    for (unsigned k = Next(4); k > 0; --k) {
      const std::string_view prefix = Pick(kPrefixes);
      if (std::find(declared.begin(), declared.end(), prefix) != declared.end()) continue;
      declared.push_back(prefix);
      const std::string_view uri = prefix.empty() && Chance(3) ? "" : Pick(kUris);
      declarations += Blank() + (prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix)) +
                      (Chance(4) ? " = " : "=") + Quoted(uri);
      if (!prefix.empty()) prefixes.emplace_back(prefix);
    }
    const std::string prefix =
        prefixes.empty() || !Chance(2) ? std::string() : prefixes[Next(prefixes.size())];
    const std::string name = (prefix.empty() ? "" : prefix + ":") + std::string(Pick(kNames));

    std::string attributes;
    std::vector<std::string> used;
    for (unsigned k = Next(5); k > 0; --k) {
      std::string attribute(Pick(kNames));
      if (!prefixes.empty() && Chance(2))
        attribute = prefixes[Next(prefixes.size())] + ":" + attribute;
      if (std::find(used.begin(), used.end(), attribute) != used.end()) continue;
      used.push_back(attribute);
      std::string value = Value(true);
      value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
      attributes += Blank() + attribute + "=" + Quoted(value);
    }
    std::string tag =
        "<" + name + (Chance(2) ? declarations + attributes : attributes + declarations);

    FScope.push_back(prefixes);
    std::string content;
    for (unsigned k = Next(ADepth < kMaxDepth - 1 ? 5 : 2); k > 0; --k) {
      const unsigned what = Next(6);
      if (what == 0) {
        content += "<assinatura/>";
        FPlaceholder = true;
      } else if (what <= 2 && ADepth < kMaxDepth) {
        content += Element(ADepth + 1);
      } else {
        content += Value(false);
      }
    }
    if (ADepth == 0 && !FPlaceholder) content += "<assinatura/>";
    FScope.pop_back();
    static constexpr const char* kEmpty[] = {"/>", " />", "\t/>"};
    if (content.empty() && Chance(2)) return tag + std::string(Pick(kEmpty));
    return tag + (Chance(5) ? " >" : ">") + content + "</" + name + (Chance(5) ? " >" : ">");
  }

  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FNext = 1;  // past the byte that chose the generator
  bool FPlaceholder = false;
  std::vector<std::vector<std::string>> FScope;
};

Text DocumentOf(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize > 0 && AData[0] == 0xFE)
    return text::FromUtf8(TPlainDocumentGenerator(AData, ASize).Document());
  return signing_fuzz::Decode(AData, ASize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signing_fuzz::Signer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  CheckSameReadings(DocumentOf(AData, ASize));
  return 0;
}
