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
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Reads ADocument; the first element named Signature in the XML-DSig namespace must be
// ATemplate, byte for byte. Nothing when the document falls outside the plain form, holds no
// such element, or the first one differs from ATemplate.
std::optional<TStreamedDocument> StreamEnvelopedDocument(std::string_view ADocument,
                                                         std::string_view ATemplate);

}  // namespace xmldsig
