#include "platform/xmldsig/digital_signature.h"

#include <openssl/err.h>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/openssl/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmltree.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/component_error.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/enveloped_signature.h"
#include "platform/xmldsig/library_scope.h"

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

}  // namespace

namespace xmldsig {

std::optional<std::string> ReferencedId(const xmlChar* AUri) {
  if (!AUri || !*AUri) return std::string{};
  const std::string uri = reinterpret_cast<const char*>(AUri);
  if (uri[0] != '#') return std::nullopt;
  if (uri == "#xpointer(/)") return std::string{};
  std::string id = uri.substr(1);
  for (const char* open : {"xpointer(id('", "xpointer(id(\""}) {
    const std::string_view prefix{open};
    const std::string close = std::string(1, prefix.back()) + "))";
    if (id.starts_with(prefix) && id.ends_with(close) && id.size() > prefix.size() + close.size()) {
      id = id.substr(prefix.size(), id.size() - prefix.size() - close.size());
      break;
    }
  }
  if (xmlValidateNCName(BAD_CAST id.c_str(), 0) != 0) return std::nullopt;
  return id;
}

}  // namespace xmldsig

namespace {
using xmldsig::ReferencedId;

bool IsIdAttribute(const xmlAttr* attr) {
  if (attr->atype == XML_ATTRIBUTE_ID) return true;
  const auto* name = reinterpret_cast<const char*>(attr->name);
  if (attr->ns) {
    return xmlStrEqual(attr->ns->href, XML_XML_NAMESPACE) && std::strcmp(name, "id") == 0;
  }
  return std::strcmp(name, "Id") == 0 || std::strcmp(name, "ID") == 0 ||
         std::strcmp(name, "id") == 0;
}

// How many elements carry AId in an identifying attribute; stops counting at two.
int ElementsWithId(xmlDoc* doc, const xmlNode* node, const std::string& AId, int found = 0) {
  for (; node && found < 2; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
      if (!IsIdAttribute(attr)) continue;
      const XmlCharPtr value{xmlNodeListGetString(doc, attr->children, 1)};
      if (value && AId == reinterpret_cast<const char*>(value.get())) {
        ++found;
        break;
      }
    }
    found = ElementsWithId(doc, node->children, AId, found);
  }
  return found;
}

Text RefusalOf(xmlNode* signature) {
  xmlNode* signedInfo = FindChild(signature, "SignedInfo");
  if (!signedInfo) return {};  // the library reports the missing element
  int references = 0;
  for (xmlNode* reference = signedInfo->children; reference; reference = reference->next) {
    if (!IsDsig(reference, "Reference")) continue;
    if (++references > kMaxReferences) return Text{dsig_messages::kTooManyReferences};
    if (xmlNode* transforms = FindChild(reference, "Transforms")) {
      int count = 0;
      for (xmlNode* t = transforms->children; t; t = t->next) {
        if (t->type == XML_ELEMENT_NODE && ++count > kMaxTransforms)
          return Text{dsig_messages::kTooManyTransforms};
      }
    }
    const XmlCharPtr uri{xmlGetProp(reference, BAD_CAST "URI")};
    const std::optional<std::string> id = ReferencedId(uri.get());
    const auto shown = [&] {
      return text::FromUtf8(uri ? reinterpret_cast<const char*>(uri.get()) : "");
    };
    if (!id) return Text{dsig_messages::kReferenceRefused} + shown();
    // Two elements with one ID: which of them is signed depends on the reader, the ground of
    // signature-wrapping attacks.
    if (!id->empty() && ElementsWithId(signature->doc, signature->doc->children, *id) > 1)
      return Text{dsig_messages::kAmbiguousReference} + shown();
  }
  return {};
}

}  // namespace

namespace xmldsig {

Text SignatureRefusal(xmlNode& ASignature) { return RefusalOf(&ASignature); }

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
  FSignedDirectly = false;
  if (!FSignature || !FSignature->doc) return fail(dsig_messages::kNoSignature);
  if (const Text refusal = RefusalOf(FSignature); !refusal.empty()) {
    FLastError = Text{dsig_messages::kSignFailed} + u": " + refusal;
    return nullptr;
  }

  XmlSecKeyPtr key{xmlSecKeyDuplicate(AKey.Handle())};
  if (!key) return fail(dsig_messages::kSignFailed);
  if (AOptions & CERTIFICATES) {
    if (!PrepareX509Data(FSignature)) return fail(dsig_messages::kSignFailed);
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
  if (FPath == TSigningPath::DirectWhenPossible || FReferenceDigest) {
    // What the direct attempt reports stays out of the generic processing's failure texts.
    ERR_set_mark();
    TLibraryErrors attempt;
    direct = xmldsig::SignEnvelopedDirectly(*FSignature, *key,
                                            FReferenceDigest ? &*FReferenceDigest : nullptr);
    if (direct == xmldsig::TDirectSigning::NotDone) {
      ERR_pop_to_mark();
    } else {
      ERR_clear_last_mark();
    }
    if (direct == xmldsig::TDirectSigning::Failed && !attempt.Texts().empty())
      errors.Add(attempt.Texts());
  }
  // The generic processing would digest the element's own document, not the one it stands in.
  if (direct == xmldsig::TDirectSigning::Failed ||
      (FReferenceDigest && direct != xmldsig::TDirectSigning::Signed))
    return fail(dsig_messages::kSignFailed);
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
  FSignedDirectly = direct == xmldsig::TDirectSigning::Signed;
  // The caller's key, not the context's: that one carries the certificates, and copying
  // certificates re-decodes them, which costs as much as the signature itself.
  XmlSecKeyPtr used{xmlSecKeyDuplicate(AKey.Handle())};
  if (!used) return fail(dsig_messages::kSignFailed);
  return std::make_unique<IXMLDSigKey>(std::move(used));
}

namespace xmldsig {

bool VerifiesWith(xmlNode& ASignature, const IXMLDSigKey& AKey) {
  if (!ASignature.doc || RefusalOf(&ASignature).size() > 0) return false;
  RegisterIdAttributes(ASignature.doc);
  DsigCtxPtr ctx{xmlSecDSigCtxCreate(nullptr)};
  if (!ctx || !RestrictContext(*ctx)) return false;
  ctx->signKey = xmlSecKeyDuplicate(AKey.Handle());  // the context owns and frees it
  if (!ctx->signKey) return false;
  return xmlSecDSigCtxVerify(ctx.get(), &ASignature) >= 0 &&
         ctx->status == xmlSecDSigStatusSucceeded;
}

}  // namespace xmldsig
