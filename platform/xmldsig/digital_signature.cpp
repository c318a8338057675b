#include "platform/xmldsig/digital_signature.h"

#include <openssl/err.h>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/openssl/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmltree.h>

#include "platform/component_error.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/enveloped_signature.h"
#include "platform/xmldsig/library_scope.h"

namespace {

xmlNode* FindChild(xmlNode* parent, const char* name) {
  return xmlSecFindChild(parent, BAD_CAST name, xmlSecDSigNs);
}

// KeyInfo/X509Data, made when the element does not have them, so that the certificates have a
// place to go.
bool EnsureX509Data(xmlNode* signature) {
  xmlNode* keyInfo = FindChild(signature, "KeyInfo");
  if (!keyInfo) keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
  if (!keyInfo) return false;
  if (FindChild(keyInfo, "X509Data")) return true;
  return xmlSecTmplKeyInfoAddX509Data(keyInfo) != nullptr;
}

}  // namespace

namespace xmldsig {

bool RestrictContext(xmlSecDSigCtx& ACtx) {
  // Only this document may be referenced: no file, no network.
  ACtx.enabledReferenceUris = static_cast<xmlSecTransformUriType>(
      xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument);
  const xmlSecTransformId c14n[] = {
      xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
      xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
      xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId};
  const xmlSecTransformId referenceOnly[] = {xmlSecTransformEnvelopedId, xmlSecTransformXPointerId,
                                             xmlSecTransformSha1Id,      xmlSecTransformSha224Id,
                                             xmlSecTransformSha256Id,    xmlSecTransformSha384Id,
                                             xmlSecTransformSha512Id};
  const xmlSecTransformId signatureOnly[] = {
      xmlSecTransformRsaSha1Id,     xmlSecTransformRsaSha224Id,   xmlSecTransformRsaSha256Id,
      xmlSecTransformRsaSha384Id,   xmlSecTransformRsaSha512Id,   xmlSecTransformEcdsaSha1Id,
      xmlSecTransformEcdsaSha224Id, xmlSecTransformEcdsaSha256Id, xmlSecTransformEcdsaSha384Id,
      xmlSecTransformEcdsaSha512Id};
  for (const auto id : c14n) {
    if (xmlSecDSigCtxEnableReferenceTransform(&ACtx, id) < 0) return false;
    if (xmlSecDSigCtxEnableSignatureTransform(&ACtx, id) < 0) return false;
  }
  for (const auto id : referenceOnly) {
    if (xmlSecDSigCtxEnableReferenceTransform(&ACtx, id) < 0) return false;
  }
  for (const auto id : signatureOnly) {
    if (xmlSecDSigCtxEnableSignatureTransform(&ACtx, id) < 0) return false;
  }
  return true;
}

}  // namespace xmldsig

void IXMLDigitalSignature::setStore(const IStore3& AStore) {
  const ICertificates2 certificates = AStore.Certificates();
  FStore.clear();
  for (int i = 1; i <= certificates.Count(); ++i) FStore.push_back(certificates.Item(i));
}

IXMLDSigKeyPtr IXMLDigitalSignature::createKeyFromCSP(int AProviderType, TextView AProviderName,
                                                      TextView AContainerName, int /*AFlags*/) {
  TLibraryErrors errors;
  for (const auto& certificate : FStore) {
    if (!certificate->HasPrivateKey()) continue;
    try {
      const IPrivateKey key = certificate->PrivateKey();
      if (key.ContainerName() != AContainerName || key.ProviderName() != AProviderName ||
          key.ProviderType() != AProviderType) {
        continue;
      }
      EvpPkeyPtr own = openssl::UpRef(key.Handle());
      XmlSecKeyDataPtr data{xmlSecOpenSSLEvpKeyAdopt(own.get())};
      if (!data) return nullptr;
      own.release();  // the key data owns the key from here on
      XmlSecKeyPtr secKey{xmlSecKeyCreate()};
      if (!secKey || xmlSecKeySetValue(secKey.get(), data.get()) < 0) return nullptr;
      data.release();  // the key owns its value from here on
      return std::make_unique<IXMLDSigKey>(std::move(secKey), certificate.get());
    } catch (const std::exception&) {
      continue;  // a certificate whose key does not match offers no key
    }
  }
  ERR_clear_error();
  return nullptr;
}

IXMLDSigKeyPtr IXMLDigitalSignature::sign(const IXMLDSigKey& AKey, int AOptions) {
  FLastError.clear();
  TLibraryErrors errors;
  auto fail = [&](TextView what) -> IXMLDSigKeyPtr {
    FLastError = Text{what};
    std::string texts = errors.Texts();
    const std::string openSsl = openssl::DrainErrors();
    if (!texts.empty() && !openSsl.empty()) texts += "; ";
    texts += openSsl;
    if (!texts.empty()) FLastError += u": " + text::FromUtf8(texts);
    return nullptr;
  };
  if (!FSignature || !FSignature->doc) return fail(dsig_messages::kNoSignature);

  XmlSecKeyPtr key{xmlSecKeyDuplicate(AKey.Handle())};
  if (!key) return fail(dsig_messages::kSignFailed);
  if (AOptions & CERTIFICATES) {
    if (!EnsureX509Data(FSignature)) return fail(dsig_messages::kSignFailed);
    xmlSecKeyDataPtr x509 = xmlSecKeyEnsureData(key.get(), xmlSecOpenSSLKeyDataX509Id);
    if (!x509) return fail(dsig_messages::kSignFailed);
    // The signing certificate goes last: the text steps after signing keep only the last
    // certificate, and another certificate of the store may carry the same serial number
    // (serials are unique per issuer only).
    std::vector<const ICertificate2*> written;
    for (const auto& certificate : FStore) {
      if (certificate.get() != AKey.Certificate()) written.push_back(certificate.get());
    }
    if (AKey.Certificate() != nullptr) written.push_back(AKey.Certificate());
    for (const ICertificate2* certificate : written) {
      X509Ptr copy = openssl::UpRef(certificate->Handle());
      if (xmlSecOpenSSLKeyDataX509AdoptCert(x509, copy.get()) < 0) {
        return fail(dsig_messages::kSignFailed);
      }
      copy.release();  // the key data owns the certificate from here on
    }
  }

  xmldsig::TDirectSigning direct = xmldsig::TDirectSigning::NotDone;
  if (FPath == TSigningPath::DirectWhenPossible) {
    // What the direct attempt reports stays out of the generic processing's failure texts.
    ERR_set_mark();
    TLibraryErrors attempt;
    direct = xmldsig::SignEnvelopedDirectly(*FSignature, *key);
    if (direct == xmldsig::TDirectSigning::NotDone) {
      ERR_pop_to_mark();
    } else {
      ERR_clear_last_mark();
    }
    if (direct == xmldsig::TDirectSigning::Failed && !attempt.Texts().empty())
      errors.Add(attempt.Texts());
  }
  if (direct == xmldsig::TDirectSigning::Failed) return fail(dsig_messages::kSignFailed);
  if (direct == xmldsig::TDirectSigning::NotDone) {
    xmldsig::RegisterIdAttributes(FSignature->doc);
    DsigCtxPtr ctx{xmlSecDSigCtxCreate(nullptr)};
    if (!ctx || !xmldsig::RestrictContext(*ctx)) return fail(dsig_messages::kSignFailed);
    ctx->keyInfoWriteCtx.base64LineSize = kBase64LineSize;
    ctx->signKey = key.release();  // the context owns and frees the key from here on
    if (xmlSecDSigCtxSign(ctx.get(), FSignature) < 0 || ctx->status != xmlSecDSigStatusSucceeded) {
      return fail(dsig_messages::kSignFailed);
    }
  }
  // The caller's key, not the context's: that one carries the certificates, and copying
  // certificates re-decodes them, which costs as much as the signature itself.
  XmlSecKeyPtr used{xmlSecKeyDuplicate(AKey.Handle())};
  if (!used) return fail(dsig_messages::kSignFailed);
  return std::make_unique<IXMLDSigKey>(std::move(used));
}
