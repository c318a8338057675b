#pragma once

// The signatures this program makes and accepts: the forms the NFS-e layouts use, and nothing
// else. One reading of a Signature element against that profile serves the signer (client
// templates) and the verifier, before any transform runs:
//
//   references   URI="" (the whole document) or URI="#Id"; at most kMaxReferences
//   transforms   enveloped-signature, then at most one canonicalisation
//   c14n         C14N 1.0, C14N 1.1, exclusive C14N (with or without comments; exclusive with
//                an optional InclusiveNamespaces PrefixList)
//   digests      SHA-1, SHA-224, SHA-256, SHA-384, SHA-512
//   signatures   RSA with one of those digests
//   elements     Signature holds SignedInfo, SignatureValue and an optional KeyInfo, which
//                holds X509Data, KeyValue or KeyName
//
// Everything else (XPointer, XPath, XPath Filter 2, XSLT, base64, other documents, HMAC, MD5,
// DSA and ECDSA, Object, Manifest, RetrievalMethod) is refused with a sentence naming it.
// Also here: the document's identifiers read once (TIdIndex), where a referenced element may
// stand (ReferenceTargetRefusal) and how a node's place is written for people (NodePath).

#include <libxml/tree.h>
#include <openssl/evp.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text.h"

namespace xmldsig {

inline constexpr int kMaxReferences = 32;

// A canonicalisation, in libxml2's terms.
struct TCanonicalization {
  int mode = 0;  // xmlC14NMode: XML_C14N_1_0 unless the element names another
  bool withComments = false;
  std::vector<std::string> inclusivePrefixes;  // exclusive c14n only
};

struct TReferenceForm {
  xmlNode* reference = nullptr;
  std::string id;  // the Id it names; empty for the whole document
  bool enveloped = false;
  // Applied to the node-set the URI selects, comments left out as for every same-document
  // reference; inclusive C14N 1.0 when the transforms name none.
  TCanonicalization canonicalization;
  const EVP_MD* digest = nullptr;
  xmlNode* digestValue = nullptr;
};

struct TSignatureForm {
  xmlNode* signature = nullptr;
  xmlNode* signedInfo = nullptr;
  xmlNode* signatureValue = nullptr;
  xmlNode* keyInfo = nullptr;  // null when the element has none
  TCanonicalization canonicalization;
  const EVP_MD* signatureDigest = nullptr;  // RSA (PKCS#1 v1.5) over this digest
  std::vector<TReferenceForm> references;
};

// Reads ASignature against the profile into AForm. Returns why it is refused ("transformação
// não aceita: XPath (http://…)", "referência não aceita: …"), or empty when it is read.
Text ReadSignatureForm(xmlNode& ASignature, TSignatureForm& AForm);

// The identifying attributes of a document, read in one pass: Id, ID and id without a
// namespace and xml:id resolve "#value" references; for repetition every attribute so named
// in any namespace counts, with values compared without surrounding blanks and without case,
// so that a look-alike of a signed element's Id is never taken for another element.
class TIdIndex {
 public:
  explicit TIdIndex(xmlDoc& ADocument);
  // The element a "#AId" reference resolves to; null when none carries it.
  xmlNode* Find(std::string_view AId) const;
  // Whether more than one attribute carries AId or a look-alike of it.
  bool Repeated(std::string_view AId) const;

 private:
  std::unordered_map<std::string, xmlNode*> FElements;
  std::unordered_map<std::string, int> FLookAlikes;
};

// Why the element AForm's reference ARef resolves to (ATarget; null for the whole document)
// cannot be signed or trusted where it stands; empty when it can. An "#Id" reference must name
// an element, one whose Id no other element repeats, standing where every NFS-e layout puts it:
// the Signature's parent or a sibling of the Signature. A reference whose content holds the
// Signature itself needs the enveloped-signature transform.
Text ReferenceTargetRefusal(const TSignatureForm& AForm, const TReferenceForm& ARef,
                            const TIdIndex& AIds, xmlNode* ATarget);

// Where ANode stands, for people: /EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[2]/Inf… (local
// names; a position only among same-named siblings).
std::string NodePath(const xmlNode* ANode);

// Whether ANode is ARoot or lies within it.
bool IsWithin(const xmlNode* ANode, const xmlNode* ARoot);

}  // namespace xmldsig
