#pragma once

// The text steps of the NFS-e signer, before parsing and after serialising. Pure functions.

#include "platform/text.h"

namespace signer_text {

// Every "<assinatura/>" becomes the signature template, or disappears when the document
// already holds "<Signature"; then every CR and every LF is removed (a line break that the
// document writes as a character reference is content and stays).
Text PrepareDocument(TextView AXMLDocument);

// The document's own XML declaration, up to and including its "?>"; empty when the text does
// not begin with one.
Text CaptureDeclaration(TextView AXMLDocument);

// Rewrites the serialised signed document: removes every LF and CR; removes the spaces after
// the first "<SignatureValue>" up to the end of that Signature element; keeps only the last
// "<X509Certificate>" element of those from the first such tag on; begins the text with
// ADeclaration in place of the serialiser's, or with no declaration when ADeclaration is empty.
Text PostProcess(Text ASignedXML, TextView ADeclaration);

}  // namespace signer_text
