#pragma once

// Checks every XML-DSig signature of a loaded document the way a receiving municipality does:
// each reference's digest, the signature value against the certificate its key information
// carries, and, when trust anchors are given, the certificate's chain up to one of them. The
// document is read as the signer reads it (IXMLDOMDocument3) and the signatures within the
// same limits (xmldsig::RestrictContext, xmldsig::SignatureRefusal): nothing outside the
// document is ever followed. Needs TXmlLibraryScope; one document per thread.

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/certstore/certificate.h"
#include "platform/openssl_handles.h"
#include "platform/xmldsig/xml_handles.h"

namespace xmldsig {

// A file holds at most this many signatures to check (NFS-e batches hold a few dozen).
inline constexpr std::size_t kMaxCheckedSignatures = 1000;

enum class TSignatureState {
  Valid,           // every digest and the signature value hold with the certificate
  Unsigned,        // a template whose signature value is empty
  Refused,         // names what is never followed (detail says what)
  MissingElement,  // a reference names an ID that no element carries (failedId)
  NoCertificate,   // the key information holds no certificate that reads
  ContentChanged,  // a reference's digest does not match (failedId, failedElement)
  ValueMismatch,   // the signature value does not match the certificate
  Unreadable,      // the library could not process the element (detail has its texts)
};

enum class TChainState {
  NotChecked,  // no trust anchors given, or no certificate
  Trusted,     // reaches a given anchor (the certificate's own dates aside)
  Untrusted,   // chainError says why
};

struct TSignatureCheck {
  std::size_t index = 0;  // from 1, in document order
  std::string id;         // the ID of the first element referenced; empty: the whole document
  std::string element;    // that element's local name
  TSignatureState state = TSignatureState::Unreadable;
  std::string failedId;       // the reference in question, for MissingElement/ContentChanged
  std::string failedElement;  // its element's local name, when there is one
  std::string detail;
  ICertificate2Ptr certificate;  // the signing certificate of the key information, or null
  TChainState chain = TChainState::NotChecked;
  int chainError = 0;             // X509_V_ERR_*
  std::string chainSubject;       // the subject of the certificate chainError is about
  std::time_t chainNotAfter = 0;  // that certificate's end, for an expired AC
};

// Certificates the user trusts (self-signed roots) and those that may link a document's
// certificate to them (intermediates), read from a PEM or DER file or from every such file of
// a folder. Throws Exception in Portuguese for a path that cannot be read or holds none.
std::vector<X509Ptr> LoadTrustAnchors(const std::filesystem::path& APath);

// Every Signature element of the document, in document order. With AAnchors (non-null, even
// empty) each certificate's chain is checked at ANow against them, with the other certificates
// of its key information as intermediates. Throws Exception for more than
// kMaxCheckedSignatures signatures.
std::vector<TSignatureCheck> CheckSignatures(xmlDoc& ADocument,
                                             const std::vector<X509Ptr>* AAnchors,
                                             std::time_t ANow);

}  // namespace xmldsig
