#pragma once

// The text steps of the NFS-e signer, before parsing and after serialising. Pure functions.

#include <cstddef>
#include <optional>
#include <string>

#include "platform/text.h"

namespace signer_text {

// A document may ask for at most this many signature templates: each 13-character
// placeholder becomes 530 characters and a score of nodes (NFS-e batches hold a few dozen).
inline constexpr std::size_t kMaxPlaceholders = 1000;

// What "<assinatura/>" becomes in a document that already holds "<Signature".
enum class TPlaceholderUse {
  AsWritten,  // it disappears: the document's own Signature is the one to sign
  Template,   // the signature template, as in a document without one: the document's own
              // templates and the placeholders' are all signed, the placeholders' last
};

// Every "<assinatura/>" becomes the signature template, or disappears when the document
// already holds "<Signature" (unless AUse says otherwise); then every CR and every LF is
// removed (a line break that the document writes as a character reference is content and
// stays). One pass, one allocation. More than kMaxPlaceholders templates throw Exception with
// the load message and the text without its line breaks and with its placeholders as they
// were.
Text PrepareDocument(TextView AXMLDocument, TPlaceholderUse AUse = TPlaceholderUse::AsWritten);

// Whether the text holds both "<Signature" and a placeholder: then what the placeholder becomes
// depends on the document's own signatures.
bool HasPlaceholderBesideSignature(TextView AXMLDocument);

// The same text in UTF-8 (a lone surrogate becomes U+FFFD); nothing where PrepareDocument
// throws.
std::optional<std::string> PrepareDocumentUtf8(TextView AXMLDocument);

// The document's own XML declaration, up to and including its "?>"; empty when the text does
// not begin with one.
Text CaptureDeclaration(TextView AXMLDocument);

// Rewrites the serialised signed document: removes every LF and CR; within the signed
// Signature (the first of the XML-DSig namespace) removes the blanks from the text of
// SignatureValue, DigestValue and X509Certificate, and keeps only the last X509Certificate of
// its KeyInfo; begins the text with ADeclaration in place of the serialiser's, or with no
// declaration when ADeclaration is empty. Markup that only looks like those elements (in
// comments, CDATA sections, attribute values) and everything outside the element stay as
// they are.
Text PostProcess(Text ASignedXML, TextView ADeclaration);

// Which text steps PostProcessUtf8 takes within the signed Signature.
enum class TSignatureCleaning {
  FirstSignature,  // blanks and extra certificates of the first Signature, as PostProcess
  None,            // none: the signatures were cleaned before any signature covered them
};

// PostProcess of the serialised document as IXMLDOMDocument3::SerialisedUtf8 gives it (UTF-8,
// without the serialiser's declaration), worked on the bytes and converted once into the
// result: the same text as PostProcess of its UTF-16 form, with or without that declaration.
// With TSignatureCleaning::None only the line breaks go and the declaration is put first.
Text PostProcessUtf8(std::string ABody, TextView ADeclaration,
                     TSignatureCleaning ACleaning = TSignatureCleaning::FirstSignature);

}  // namespace signer_text
