#pragma once

// Checks every XML-DSig signature of a loaded document the way a receiving municipality does,
// and what a reader of it would be misled by: each signature within the signing profile
// (signing_profile.h), each referenced element unique and where the layouts put it, each
// reference's digest, the signature value against the certificate its key information
// carries, that certificate fit to sign (certificate_policy.h) and, when trust anchors are
// given, its chain up to one of them; then what content no valid signature covers. Nothing
// outside the document is ever followed, and the cost grows with the document and the number
// of signatures, not with their product. Needs TXmlLibraryScope; one document per thread.

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/certstore/certificate.h"
#include "platform/openssl_handles.h"
#include "platform/xmldsig/xml_handles.h"

namespace xmldsig {

// A file holds at most this many signatures to check (NFS-e batches hold a few hundred).
inline constexpr std::size_t kMaxCheckedSignatures = 1000;
// At most this many places of uncovered content are listed; the rest are counted.
inline constexpr std::size_t kMaxUncoveredListed = 20;

enum class TSignatureState {
  Valid,               // every digest and the signature value hold with the certificate
  Unsigned,            // a template whose signature value is empty
  Refused,             // outside the profile, or a reference the reader would be misled by
  MissingElement,      // a reference names an ID that no element carries (failedId)
  NoCertificate,       // the key information holds no certificate that reads
  ContentChanged,      // a reference's digest does not match (failedId, failedElement)
  ValueMismatch,       // the signature value does not match the certificate
  CertificateRefused,  // intact, but the certificate may not sign (detail says why)
  Unreadable,          // the library could not process the element (detail has its texts)
};

enum class TChainState {
  NotChecked,  // no trust anchors given, or no certificate
  Trusted,     // reaches a given anchor (the certificate's own dates aside)
  Untrusted,   // chainError says why
};

// What one reference covers.
struct TCoveredElement {
  std::string id;       // the Id it names; empty: the whole document
  std::string element;  // the element's local name; empty for the whole document or none
  std::string place;    // where the element stands (NodePath); empty as element
};

struct TSignatureCheck {
  std::size_t index = 0;  // from 1, in document order
  std::string id;         // the first reference's, as in references.front()
  std::string element;
  std::string place;
  std::vector<TCoveredElement> references;  // every reference, in order (when readable)
  TSignatureState state = TSignatureState::Unreadable;
  std::string failedId;       // the reference in question, for MissingElement/ContentChanged
  std::string failedElement;  // its element's local name, when there is one
  std::string failedPlace;    // where that element stands
  std::string detail;
  ICertificate2Ptr certificate;  // the signing certificate of the key information, or null
  TChainState chain = TChainState::NotChecked;
  int chainError = 0;             // X509_V_ERR_*
  std::string chainSubject;       // the subject of the certificate chainError is about
  std::time_t chainNotAfter = 0;  // that certificate's end, for an expired AC
};

struct TDocumentCheck {
  std::vector<TSignatureCheck> signatures;
  // Places of content that no valid signature covers (elements, or "…/text()" for text
  // directly inside an element that only wraps signed content), at most kMaxUncoveredListed.
  std::vector<std::string> uncovered;
  std::size_t uncoveredTotal = 0;  // how many there were in all
};

// Certificates the user trusts (self-signed roots) and those that may link a document's
// certificate to them (intermediates), read from a PEM or DER file or from every such file of
// a folder. Throws Exception in Portuguese for a path that cannot be read or holds none.
std::vector<X509Ptr> LoadTrustAnchors(const std::filesystem::path& APath);

// Every Signature element of the document, in document order, and the content left uncovered.
// With AAnchors (non-null, even empty) each certificate's chain is checked at ANow against
// them, with the other certificates of its key information as intermediates; only the
// certificate's own dates may be outside, every other check of the chain runs. Throws
// Exception for more than kMaxCheckedSignatures signatures.
TDocumentCheck CheckSignatures(xmlDoc& ADocument, const std::vector<X509Ptr>* AAnchors,
                               std::time_t ANow);

// The signing certificate among those of a signature's key information: the one that issued
// none of the others (the signer writes it last, after its chain); null when none reads.
X509Ptr SigningCertificateOf(xmlNode& ASignature);

}  // namespace xmldsig
