#pragma once

// The direct computation of signatures of the signing profile (signing_profile.h): each
// reference's canonical bytes go straight from libxml2 into an OpenSSL digest, and the canonical
// SignedInfo into an RSA signature or its verification. The bytes are those xmlsec's generic
// processing computes (a differential test signs the same documents both ways), at a cost that
// grows with what is covered, not with the document: while a subtree is canonicalised, the tree
// is cut down to the path leading to it, so a batch of N signed RPS costs N small walks instead
// of N walks of the batch. The tree is whole again when each call returns, on every path.
// Same threading rules as the document. Needs TXmlLibraryScope.

#include <libxml/tree.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xmldsig/signing_profile.h"

namespace xmldsig {

// The SHA-1 digest of a document's canonical form, computed without a tree (document_stream.h).
using TReferenceDigest = std::array<unsigned char, 20>;

// Where ARef of AForm points: its element, or null for the whole document (also when the Id
// names no element: ReferenceTargetRefusal tells the two apart).
xmlNode* ReferenceTarget(const TReferenceForm& ARef, const TIdIndex& AIds);

// The digest of what ARef covers, ATarget being ReferenceTarget's answer. False when the library
// fails; its texts are then in the collector and OpenSSL's queue.
bool DigestReference(const TSignatureForm& AForm, const TReferenceForm& ARef, xmlNode* ATarget,
                     std::vector<unsigned char>& ADigest);

// The RSA signature of SignedInfo as it now stands. False when the key or the library fails.
bool SignSignedInfo(const TSignatureForm& AForm, EVP_PKEY* AKey,
                    std::vector<unsigned char>& AValue);

// Whether AValue is AKey's signature of SignedInfo: 1 yes, 0 no, -1 the library failed.
int VerifySignedInfo(const TSignatureForm& AForm, EVP_PKEY* AKey,
                     const std::vector<unsigned char>& AValue);

// Base64 without line breaks, and back (blanks ignored); false for text that is not base64.
std::string ToBase64(const unsigned char* ABytes, std::size_t ALength);
bool FromBase64(std::string_view AText, std::vector<unsigned char>& ABytes);

// The outcome of checking a signature's digests and value with a public key.
struct TIntegrity {
  enum TState { Intact, Refused, Changed, Mismatch, Failed } state = Failed;
  Text refusal;                     // Refused: why
  std::size_t failedReference = 0;  // Changed: which reference, among AForm.references
  std::vector<xmlNode*> targets;    // each reference's element (null: the whole document)
};

// Checks AForm (read from a signature with a value) against the document and AKey: where each
// referenced element stands, each digest, then the value. Stops at the first failure.
TIntegrity CheckIntegrity(const TSignatureForm& AForm, const TIdIndex& AIds, EVP_PKEY* AKey);

}  // namespace xmldsig
