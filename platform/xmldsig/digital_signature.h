#pragma once

// XML digital-signature object (stands in for the platform's MXDigitalSignature50 /
// IXMLDigitalSignature and its IXMLDSigKey) on xmlsec with the OpenSSL backend.
//
// sign() computes the Signature element assigned with setSignature as that element names it
// (references, transforms, digest and signature methods), within a fixed allowed set: same-
// document references only ("" or "#id" against Id/ID/id attributes), the canonicalisations,
// enveloped-signature, SHA-1/SHA-2 digests and RSA/ECDSA signatures. With CERTIFICATES it
// writes KeyInfo/X509Data with one X509Certificate per certificate of the assigned store.
// Base64 texts carry no line breaks. The common enveloped form is computed directly
// (enveloped_signature.h) unless the object is made to use xmlsec only. One object belongs to
// one thread; separate objects may sign on separate threads at once. Needs TXmlLibraryScope.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/certstore/store.h"
#include "platform/openssl_handles.h"
#include "platform/text.h"
#include "platform/xmldsig/enveloped_signature.h"
#include "platform/xmldsig/xml_handles.h"

// A signature names at most this many references, each with at most this many transforms;
// every reference costs a pass over the document (NFS-e signatures name one).
inline constexpr int kMaxReferences = 32;
inline constexpr int kMaxTransforms = 8;

// Key-information options of sign().
inline constexpr int KEYVALUE = 1;
inline constexpr int CERTIFICATES = 2;

// A signing key made by createKeyFromCSP or returned by sign.
class IXMLDSigKey {
 public:
  IXMLDSigKey(XmlSecKeyPtr AKey, const ICertificate2* ACertificate = nullptr)
      : FKey(std::move(AKey)), FCertificate(ACertificate) {}
  xmlSecKey* Handle() const { return FKey.get(); }
  // The certificate of the store whose private key this is; null when not from a store.
  const ICertificate2* Certificate() const { return FCertificate; }

 private:
  XmlSecKeyPtr FKey;
  const ICertificate2* FCertificate;
};
using IXMLDSigKeyPtr = std::unique_ptr<IXMLDSigKey>;

// Which way sign() computes a signature of the common enveloped form.
enum class TSigningPath {
  DirectWhenPossible,  // the direct computation, the generic processing for other forms
  GenericOnly,         // xmlsec's generic processing for every form
};

class IXMLDigitalSignature {
 public:
  explicit IXMLDigitalSignature(TSigningPath APath = TSigningPath::DirectWhenPossible)
      : FPath(APath) {}

  // The Signature element to compute; borrowed from a document that outlives the call.
  void setSignature(xmlNode* ANode) { FSignature = ANode; }
  xmlNode* signature() const { return FSignature; }

  // The reference's digest, computed by the caller over the document that the assigned
  // element's document stands in for. sign() then computes the common enveloped form directly
  // with it, and fails for any other form.
  void setReferenceDigest(const xmldsig::TReferenceDigest& ADigest) { FReferenceDigest = ADigest; }

  // The certificates the signature may write into its key information (copied now).
  void setStore(const IStore3& AStore);

  // A key for the private key held in container AContainerName by the provider, looked up
  // among the certificates of the assigned store; null when there is none or the provider
  // data do not match.
  IXMLDSigKeyPtr createKeyFromCSP(int AProviderType, TextView AProviderName,
                                  TextView AContainerName, int AFlags);

  // Signs the assigned Signature element in place. Returns a handle to the signing key, or
  // null when signing failed (lastError() then holds the library's texts). Refused before any
  // work: more than kMaxReferences references or kMaxTransforms transforms in one, a reference
  // URI other than "", "#id", "#xpointer(/)" or "#xpointer(id('id'))", and an "#id" that more
  // than one element carries. With CERTIFICATES the key information ends up holding the
  // certificates of the store (the signing one last) and no certificate the template held.
  IXMLDSigKeyPtr sign(const IXMLDSigKey& AKey, int AOptions);
  const Text& lastError() const { return FLastError; }

  // Whether the last sign() computed the common enveloped form directly; otherwise the
  // generic processing did, from whatever the element named.
  bool signedDirectly() const { return FSignedDirectly; }

 private:
  TSigningPath FPath;
  xmlNode* FSignature = nullptr;
  std::optional<xmldsig::TReferenceDigest> FReferenceDigest;
  std::vector<ICertificate2Ptr> FStore;
  Text FLastError;
  bool FSignedDirectly = false;
};

namespace xmldsig {

// The ID of a same-document reference ("#id" or "#xpointer(id('id'))"); empty for "" and
// "#xpointer(/)"; nothing for any other form.
std::optional<std::string> ReferencedId(const xmlChar* AUri);

// Why a signature element is refused before any work is spent on it (too many references or
// transforms, a reference other than to this document, an ID that more than one element
// carries); empty when it is acceptable. Also applied by sign() and VerifiesWith.
Text SignatureRefusal(xmlNode& ASignature);

// Restricts a signature context to the references and algorithms listed above (also used by
// verifiers). Returns false when the library refuses.
bool RestrictContext(xmlSecDSigCtx& ACtx);

// Whether ASignature (inside a document whose Id attributes are registered) verifies with the
// public half of AKey, within the same restrictions. Library errors go to the collector.
bool VerifiesWith(xmlNode& ASignature, const IXMLDSigKey& AKey);

}  // namespace xmldsig
