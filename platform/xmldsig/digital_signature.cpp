#include "platform/xmldsig/digital_signature.h"

#include <libxml/c14n.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/openssl/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmltree.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/component_error.h"
#include "platform/xmldsig/direct_signature.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/signing_profile.h"

namespace {

xmlNode* FindChild(xmlNode* parent, const char* name) {
  return xmlSecFindChild(parent, BAD_CAST name, xmlSecDSigNs);
}

using xmldsig::IsDsig;

// Removes the certificates a template brought along (stale or empty), so that the key
// information ends up with those of the store: the first X509Data gets an empty certificate
// element, which makes the library write the certificates there whatever else that element
// asks for; a further X509Data left without content goes.
bool PrepareX509Data(xmlNode* signature) {
  xmlNode* keyInfo = FindChild(signature, "KeyInfo");
  if (!keyInfo) keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
  if (!keyInfo) return false;
  xmlNode* first = nullptr;
  for (xmlNode* data = keyInfo->children; data;) {
    xmlNode* const nextData = data->next;
    if (IsDsig(data, "X509Data")) {
      bool hasElements = false;
      for (xmlNode* child = data->children; child;) {
        xmlNode* const next = child->next;
        if (IsDsig(child, "X509Certificate")) {
          xmlUnlinkNode(child);
          xmlFreeNode(child);
        } else if (child->type == XML_ELEMENT_NODE) {
          hasElements = true;
        }
        child = next;
      }
      if (!first) {
        first = data;
      } else if (!hasElements) {
        xmlUnlinkNode(data);
        xmlFreeNode(data);
      }
    }
    data = nextData;
  }
  if (!first) first = xmlSecTmplKeyInfoAddX509Data(keyInfo);
  return first && xmlSecTmplX509DataAddCertificate(first) != nullptr;
}

// How the direct computation went.
enum class TDirect {
  NotDone,  // the libraries failed before anything but digests was written: the generic
            // processing then computes everything again and words the failure
  Signed,
  Failed,  // the values are written but the key information could not be
};

TDirect SignDirectly(const xmldsig::TSignatureForm& form, const std::vector<xmlNode*>& targets,
                     EVP_PKEY* pkey, xmlSecKey& key, const xmldsig::TReferenceDigest* streamed) {
  for (std::size_t k = 0; k < form.references.size(); ++k) {
    const xmldsig::TReferenceForm& reference = form.references[k];
    std::vector<unsigned char> digest;
    if (streamed) {
      digest.assign(streamed->begin(), streamed->end());
    } else if (!xmldsig::DigestReference(form, reference, targets[k], digest)) {
      return TDirect::NotDone;
    }
    xmlNodeSetContent(reference.digestValue,
                      BAD_CAST xmldsig::ToBase64(digest.data(), digest.size()).c_str());
  }
  std::vector<unsigned char> value;
  if (!xmldsig::SignSignedInfo(form, pkey, value)) return TDirect::NotDone;
  xmlNodeSetContent(form.signatureValue,
                    BAD_CAST xmldsig::ToBase64(value.data(), value.size()).c_str());
  if (form.keyInfo) {
    const XmlSecKeyInfoCtxPtr keyInfo{xmlSecKeyInfoCtxCreate(nullptr)};
    if (!keyInfo) return TDirect::Failed;
    keyInfo->mode = xmlSecKeyInfoModeWrite;
    keyInfo->base64LineSize = kBase64LineSize;
    // The generic processing writes the public parts only (certificates, key values).
    keyInfo->keyReq.keyId = xmlSecKeyDataIdUnknown;
    keyInfo->keyReq.keyType = xmlSecKeyDataTypePublic;
    keyInfo->keyReq.keyUsage = xmlSecKeyUsageAny;
    if (xmlSecKeyInfoNodeWrite(form.keyInfo, &key, keyInfo.get()) < 0) return TDirect::Failed;
  }
  return TDirect::Signed;
}

// Whether the streamed digest stands for the form's only reference: the program's own
// template, a whole-document SHA-1 digest of inclusive C14N 1.0.
bool TakesStreamedDigest(const xmldsig::TSignatureForm& form) {
  if (form.references.size() != 1) return false;
  const xmldsig::TReferenceForm& reference = form.references.front();
  return reference.id.empty() && reference.enveloped &&
         EVP_MD_get_type(reference.digest) == NID_sha1 &&
         reference.canonicalization.mode == XML_C14N_1_0 &&
         reference.canonicalization.inclusivePrefixes.empty();
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
  const xmlSecTransformId referenceOnly[] = {xmlSecTransformEnvelopedId, xmlSecTransformSha1Id,
                                             xmlSecTransformSha224Id,    xmlSecTransformSha256Id,
                                             xmlSecTransformSha384Id,    xmlSecTransformSha512Id};
  const xmlSecTransformId signatureOnly[] = {xmlSecTransformRsaSha1Id, xmlSecTransformRsaSha224Id,
                                             xmlSecTransformRsaSha256Id, xmlSecTransformRsaSha384Id,
                                             xmlSecTransformRsaSha512Id};
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
  FSignedDirectly = false;
  FRefused = false;
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
  auto refuse = [&](Text why) -> IXMLDSigKeyPtr {
    FLastError = std::move(why);
    FRefused = true;
    return nullptr;
  };
  if (!FSignature || !FSignature->doc) return fail(dsig_messages::kNoSignature);

  xmldsig::TSignatureForm form;
  if (Text refusal = xmldsig::ReadSignatureForm(*FSignature, form); !refusal.empty())
    return refuse(std::move(refusal));
  std::optional<xmldsig::TIdIndex> ownIds;
  const xmldsig::TIdIndex& ids = FIds ? *FIds : ownIds.emplace(*FSignature->doc);
  std::vector<xmlNode*> targets;
  for (const xmldsig::TReferenceForm& reference : form.references) {
    xmlNode* const target = xmldsig::ReferenceTarget(reference, ids);
    if (Text refusal = xmldsig::ReferenceTargetRefusal(form, reference, ids, target);
        !refusal.empty())
      return refuse(std::move(refusal));
    targets.push_back(target);
  }
  EVP_PKEY* const pkey = xmldsig::RsaKeyOf(AKey);
  if (!pkey) return refuse(Text{dsig_messages::kKeyNotRsa});
  // The generic processing would digest the element's own document, not the one it stands in.
  if (FReferenceDigest && !TakesStreamedDigest(form)) return fail(dsig_messages::kSignFailed);

  XmlSecKeyPtr key{xmlSecKeyDuplicate(AKey.Handle())};
  if (!key) return fail(dsig_messages::kSignFailed);
  if (AOptions & CERTIFICATES) {
    if (!PrepareX509Data(FSignature)) return fail(dsig_messages::kSignFailed);
    form.keyInfo = FindChild(FSignature, "KeyInfo");
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

  TDirect direct = TDirect::NotDone;
  if (FPath == TSigningPath::DirectWhenPossible || FReferenceDigest) {
    // What the direct attempt reports stays out of the generic processing's failure texts.
    ERR_set_mark();
    TLibraryErrors attempt;
    direct =
        SignDirectly(form, targets, pkey, *key, FReferenceDigest ? &*FReferenceDigest : nullptr);
    if (direct == TDirect::NotDone) {
      ERR_pop_to_mark();
    } else {
      ERR_clear_last_mark();
    }
    if (direct == TDirect::Failed && !attempt.Texts().empty()) errors.Add(attempt.Texts());
  }
  if (direct == TDirect::Failed || (FReferenceDigest && direct != TDirect::Signed))
    return fail(dsig_messages::kSignFailed);
  if (direct == TDirect::NotDone) {
    xmldsig::RegisterIdAttributes(FSignature->doc);
    DsigCtxPtr ctx{xmlSecDSigCtxCreate(nullptr)};
    if (!ctx || !xmldsig::RestrictContext(*ctx)) return fail(dsig_messages::kSignFailed);
    ctx->keyInfoWriteCtx.base64LineSize = kBase64LineSize;
    ctx->signKey = key.release();  // the context owns and frees the key from here on
    if (xmlSecDSigCtxSign(ctx.get(), FSignature) < 0 || ctx->status != xmlSecDSigStatusSucceeded) {
      return fail(dsig_messages::kSignFailed);
    }
  }
  FSignedDirectly = direct == TDirect::Signed;
  // The caller's key, not the context's: that one carries the certificates, and copying
  // certificates re-decodes them, which costs as much as the signature itself.
  XmlSecKeyPtr used{xmlSecKeyDuplicate(AKey.Handle())};
  if (!used) return fail(dsig_messages::kSignFailed);
  return std::make_unique<IXMLDSigKey>(std::move(used));
}

namespace xmldsig {

EVP_PKEY* RsaKeyOf(const IXMLDSigKey& AKey) {
  xmlSecKeyDataPtr value = AKey.Handle() ? xmlSecKeyGetValue(AKey.Handle()) : nullptr;
  if (!value || !xmlSecKeyDataCheckId(value, xmlSecOpenSSLKeyDataRsaId)) return nullptr;
  EVP_PKEY* const pkey = xmlSecOpenSSLEvpKeyDataGetEvp(value);
  return pkey && EVP_PKEY_get_base_id(pkey) == EVP_PKEY_RSA ? pkey : nullptr;
}

bool VerifiesWith(xmlNode& ASignature, const IXMLDSigKey& AKey, const TIdIndex* AIds) {
  if (!ASignature.doc) return false;
  TSignatureForm form;
  if (!ReadSignatureForm(ASignature, form).empty()) return false;
  EVP_PKEY* const pkey = RsaKeyOf(AKey);
  if (!pkey) return false;
  std::optional<TIdIndex> ownIds;
  const TIdIndex& ids = AIds ? *AIds : ownIds.emplace(*ASignature.doc);
  TLibraryErrors errors;
  const bool intact = CheckIntegrity(form, ids, pkey).state == TIntegrity::Intact;
  ERR_clear_error();
  return intact;
}

}  // namespace xmldsig
