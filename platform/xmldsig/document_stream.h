#pragma once

// One pass over a document's UTF-8 text that yields, without building a tree, what signing it
// with an enveloped signature template needs: the text the document serialiser would write for
// it, the SHA-1 digest of its inclusive canonical form (XML 1.0, without comments) with the
// template left out, and where the template stands.
//
// It reads a plain form only: an optional XML declaration, then one element tree of elements,
// attributes, namespace declarations with absolute URIs, text, the five predefined entities
// and character references, with ASCII names. Anything else (comments, processing
// instructions, CDATA sections, a document type, a byte-order mark, non-ASCII names, the xml
// prefix, sizes near the parser's limits) and every error is declined: the caller then takes
// the tree path, which reads every document and words every error. What is accepted gives the
// same bytes as that path: serialised as IXMLDOMDocument3::SerialisedUtf8 writes the parsed
// document, canonicalised as libxml2 canonicalises it.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace xmldsig {

struct TStreamedDocument {
  // The XML declaration's length at the start of the text (0 without one); it is not part of
  // the serialised text.
  std::size_t declarationLength = 0;
  // The document as serialised, with nothing where the template stood.
  std::string serialised;
  // Where the signed signature element goes in serialised.
  std::size_t signatureAt = 0;
  // The prefixed namespace bindings in scope at the template, for its canonical form.
  std::vector<std::pair<std::string, std::string>> prefixesInScope;
  std::array<unsigned char, 20> digest{};
};

// Why a document was left to the tree path.
enum class TDeclineReason {
  Size,         // a name, a text, a value, the nesting or the document past the limits
  Markup,       // a comment, CDATA section, processing instruction or document type
  Declaration,  // an XML declaration the plain form does not take
  Name,         // a name outside ASCII, or with the xml or xmlns prefix
  Namespace,    // an undeclared prefix, or a namespace URI the plain form does not take
  Character,    // a character or reference outside the plain form
  Malformed,    // markup outside the plain form, or not well-formed
  Template,     // no signature template, another one first, or a second signature
  Digest,       // the digest could not be computed
  SignedApart,  // read, but signing its template apart from it failed
};
inline constexpr std::size_t kDeclineReasons = 10;

// The source and the sentence of a decline's report; the reason's text follows.
inline constexpr TextView kDeclineSource = u"Assinatura";
inline constexpr TextView kDeclinedDocument =
    u"Documento assinado pela árvore, fora da leitura em uma passagem: ";

TextView DeclineReasonText(TDeclineReason AReason) noexcept;

// Counts the documents the one-pass reader declined, in all and by reason, and reports the
// first of each reason through the diagnostics hook (platform/diagnostics.h) under ASource, so
// that a fall back is never silent and never floods the journal. Any thread.
class TDeclineCounter {
 public:
  explicit TDeclineCounter(TextView ASource);
  void Count(TDeclineReason AReason) noexcept;
  std::uint64_t Total() const noexcept;
  std::uint64_t Of(TDeclineReason AReason) const noexcept;

 private:
  TextView FSource;
  std::atomic<std::uint64_t> FTotal{0};
  std::array<std::atomic<std::uint64_t>, kDeclineReasons> FByReason{};
};

// The process's counter, which StreamEnvelopedDocument counts on unless given another.
TDeclineCounter& StreamDeclines() noexcept;

// Reads ADocument; the first element named Signature in the XML-DSig namespace must be
// ATemplate, byte for byte, and the only one. Nothing when the document falls outside the plain
// form, holds no such element, or the first one differs from ATemplate: each such decline is
// counted in ADeclines.
std::optional<TStreamedDocument> StreamEnvelopedDocument(
    std::string_view ADocument, std::string_view ATemplate,
    TDeclineCounter& ADeclines = StreamDeclines());

}  // namespace xmldsig
