#pragma once

// XML digital-signature object (stands in for the platform's MXDigitalSignature50 /
// IXMLDigitalSignature and its IXMLDSigKey) on xmlsec with the OpenSSL backend.
//
// sign() computes the Signature element assigned with setSignature as that element names it
// (references, transforms, digest and signature methods), within the signing profile
// (signing_profile.h): anything outside it is refused before any transform runs. With
// CERTIFICATES it writes KeyInfo/X509Data with one X509Certificate per certificate of the
// assigned store. Base64 texts carry no line breaks. The values are computed directly
// (direct_signature.h) unless the object is made to use xmlsec's generic processing, which
// stays as the reference the direct computation is tested against. One object belongs to one
// thread; separate objects may sign on separate threads at once. Needs TXmlLibraryScope.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/certstore/store.h"
#include "platform/openssl_handles.h"
#include "platform/text.h"
#include "platform/xmldsig/direct_signature.h"
#include "platform/xmldsig/signing_profile.h"
#include "platform/xmldsig/xml_handles.h"

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

// Which way sign() computes a signature.
enum class TSigningPath {
  DirectWhenPossible,  // the direct computation; the generic processing only when the
                       // libraries fail it (so that the failure is worded by them)
  GenericOnly,         // xmlsec's generic processing, restricted to the profile
};

class IXMLDigitalSignature {
 public:
  explicit IXMLDigitalSignature(TSigningPath APath = TSigningPath::DirectWhenPossible)
      : FPath(APath) {}

  // The Signature element to compute; borrowed from a document that outlives the call.
  void setSignature(xmlNode* ANode) { FSignature = ANode; }
  xmlNode* signature() const { return FSignature; }

  // The reference's digest, computed by the caller over the document that the assigned
  // element's document stands in for. sign() then accepts only one whole-document reference
  // with SHA-1 and inclusive C14N 1.0, and uses this digest for it.
  void setReferenceDigest(const xmldsig::TReferenceDigest& ADigest) { FReferenceDigest = ADigest; }

  // The identifiers of the assigned element's document, read once by a caller that signs
  // several elements of it; sign() reads them itself otherwise. Borrowed.
  void setIdIndex(const xmldsig::TIdIndex* AIds) { FIds = AIds; }

  // The certificates the signature may write into its key information (copied now).
  void setStore(const IStore3& AStore);

  // A key for the private key held in container AContainerName by the provider, looked up
  // among the certificates of the assigned store; null when there is none or the provider
  // data do not match.
  IXMLDSigKeyPtr createKeyFromCSP(int AProviderType, TextView AProviderName,
                                  TextView AContainerName, int AFlags);

  // Signs the assigned Signature element in place. Returns a handle to the signing key, or
  // null when signing failed (lastError() then holds the reason: the profile's refusal, or
  // the libraries' texts). Refused before any work: a form outside the profile, a reference
  // whose element is missing, repeated or not where the layouts put it
  // (xmldsig::ReferenceTargetRefusal), and a key other than RSA. With CERTIFICATES the key
  // information ends up holding the certificates of the store (the signing one last) and no
  // certificate the template held.
  IXMLDSigKeyPtr sign(const IXMLDSigKey& AKey, int AOptions);
  const Text& lastError() const { return FLastError; }

  // Whether the last sign() computed the values directly; otherwise the generic processing
  // did.
  bool signedDirectly() const { return FSignedDirectly; }
  // Whether the last failure was a refusal of the profile (lastError() holds its sentence
  // alone), rather than a failure of the libraries.
  bool refused() const { return FRefused; }

 private:
  TSigningPath FPath;
  xmlNode* FSignature = nullptr;
  std::optional<xmldsig::TReferenceDigest> FReferenceDigest;
  const xmldsig::TIdIndex* FIds = nullptr;
  bool FRefused = false;
  std::vector<ICertificate2Ptr> FStore;
  Text FLastError;
  bool FSignedDirectly = false;
};

namespace xmldsig {

// Restricts an xmlsec signature context to the profile's references and algorithms (the
// generic processing and the tests that compare with it). Returns false when the library
// refuses.
bool RestrictContext(xmlSecDSigCtx& ACtx);

// Whether ASignature, a signature within the profile, verifies with the public half of AKey:
// its references resolve where they must, their digests hold and so does the value. AIds: the
// identifiers of its document, read once for several signatures; read here when null.
bool VerifiesWith(xmlNode& ASignature, const IXMLDSigKey& AKey, const TIdIndex* AIds = nullptr);

// The RSA key an xmlsec key holds; null for any other.
EVP_PKEY* RsaKeyOf(const IXMLDSigKey& AKey);

}  // namespace xmldsig
