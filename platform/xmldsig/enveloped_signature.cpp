#include "platform/xmldsig/enveloped_signature.h"

#include <libxml/c14n.h>
#include <openssl/evp.h>
#include <xmlsec/keyinfo.h>
#include <xmlsec/openssl/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/xml_handles.h"

namespace {

constexpr const char* kC14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
constexpr const char* kRsaSha1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
constexpr const char* kEnvelopedSignature = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* kSha1 = "http://www.w3.org/2000/09/xmldsig#sha1";

using xmldsig::IsDsig;

// The element children of node, when it has nothing but elements and at most max of them.
bool ElementChildren(const xmlNode* node, xmlNode** out, std::size_t max, std::size_t& count) {
  count = 0;
  for (xmlNode* child = node->children; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE || count == max) return false;
    out[count++] = child;
  }
  return true;
}

bool HasNoAttributes(const xmlNode* node) { return node->properties == nullptr; }

// Exactly one attribute, without namespace, of this name and value.
bool HasOnlyAttribute(const xmlNode* node, const char* name, const char* value) {
  const xmlAttr* attr = node->properties;
  if (!attr || attr->next || attr->ns || !xmlStrEqual(attr->name, BAD_CAST name)) return false;
  const xmlNode* text = attr->children;
  if (!text) return *value == '\0';
  return text->type == XML_TEXT_NODE && !text->next &&
         xmlStrEqual(text->content ? text->content : BAD_CAST "", BAD_CAST value);
}

bool IsLeaf(const xmlNode* node) { return node->children == nullptr; }

bool IsAlgorithmLeaf(const xmlNode* node, const char* name, const char* algorithm) {
  return IsDsig(node, name) && IsLeaf(node) && HasOnlyAttribute(node, "Algorithm", algorithm);
}

// The nodes the direct computation writes into; all null when the element is not of the
// common form.
struct TEnvelopedForm {
  xmlNode* signedInfo = nullptr;
  xmlNode* digestValue = nullptr;
  xmlNode* signatureValue = nullptr;
  xmlNode* keyInfo = nullptr;
};

TEnvelopedForm MatchEnvelopedForm(xmlNode* signature) {
  xmlNode* parts[3];
  std::size_t count = 0;
  if (!signature->parent || !ElementChildren(signature, parts, 3, count) || count < 2) return {};
  xmlNode* const signedInfo = parts[0];
  xmlNode* const signatureValue = parts[1];
  xmlNode* const keyInfo = count == 3 ? parts[2] : nullptr;
  if (!IsDsig(signedInfo, "SignedInfo") || !HasNoAttributes(signedInfo) ||
      !IsDsig(signatureValue, "SignatureValue") || !HasNoAttributes(signatureValue) ||
      !IsLeaf(signatureValue) || (keyInfo && !IsDsig(keyInfo, "KeyInfo"))) {
    return {};
  }
  xmlNode* info[3];
  if (!ElementChildren(signedInfo, info, 3, count) || count != 3 ||
      !IsAlgorithmLeaf(info[0], "CanonicalizationMethod", kC14n) ||
      !IsAlgorithmLeaf(info[1], "SignatureMethod", kRsaSha1) || !IsDsig(info[2], "Reference") ||
      !HasOnlyAttribute(info[2], "URI", "")) {
    return {};
  }
  xmlNode* reference[3];
  if (!ElementChildren(info[2], reference, 3, count) || count != 3 ||
      !IsDsig(reference[0], "Transforms") || !HasNoAttributes(reference[0]) ||
      !IsAlgorithmLeaf(reference[1], "DigestMethod", kSha1) ||
      !IsDsig(reference[2], "DigestValue") || !HasNoAttributes(reference[2]) ||
      !IsLeaf(reference[2])) {
    return {};
  }
  xmlNode* transform[1];
  if (!ElementChildren(reference[0], transform, 1, count) || count != 1 ||
      !IsAlgorithmLeaf(transform[0], "Transform", kEnvelopedSignature)) {
    return {};
  }
  return {signedInfo, reference[2], signatureValue, keyInfo};
}

// Takes the node out of its parent's children while it lives: the document without the signature
// is exactly what the enveloped-signature transform leaves of it.
class TDetachedNode {
 public:
  explicit TDetachedNode(xmlNode* node)
      : FNode(node), FParent(node->parent), FPrev(node->prev), FNext(node->next) {
    if (FPrev)
      FPrev->next = FNext;
    else
      FParent->children = FNext;
    if (FNext)
      FNext->prev = FPrev;
    else
      FParent->last = FPrev;
  }
  ~TDetachedNode() {
    if (FPrev)
      FPrev->next = FNode;
    else
      FParent->children = FNode;
    if (FNext)
      FNext->prev = FNode;
    else
      FParent->last = FNode;
  }
  TDetachedNode(const TDetachedNode&) = delete;
  TDetachedNode& operator=(const TDetachedNode&) = delete;

 private:
  xmlNode* FNode;
  xmlNode* FParent;
  xmlNode* FPrev;
  xmlNode* FNext;
};

// Leaves only the path from the document down to the node while it lives. The canonical form of
// a subtree depends on its ancestors, never on their other children, and the canonicaliser
// walks every node of the document: this keeps a 2 MB batch from being walked for SignedInfo.
class TPathOnly {
 public:
  explicit TPathOnly(xmlNode* node) {
    std::size_t depth = 0;
    for (const xmlNode* n = node; n->parent; n = n->parent) ++depth;
    FSaved.reserve(depth);  // nothing below may throw once the tree is touched
    for (xmlNode* n = node; n->parent; n = n->parent) {
      xmlNode* const parent = n->parent;
      FSaved.push_back({n, parent, n->prev, n->next, parent->children, parent->last});
      n->prev = n->next = nullptr;
      parent->children = parent->last = n;
    }
  }
  ~TPathOnly() {
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
      it->node->prev = it->prev;
      it->node->next = it->next;
      it->parent->children = it->children;
      it->parent->last = it->last;
    }
  }
  TPathOnly(const TPathOnly&) = delete;
  TPathOnly& operator=(const TPathOnly&) = delete;

 private:
  struct TSaved {
    xmlNode* node;
    xmlNode* parent;
    xmlNode* prev;
    xmlNode* next;
    xmlNode* children;
    xmlNode* last;
  };
  std::vector<TSaved> FSaved;
};

// Visible: root and what lies within it (a namespace node counts as part of its element).
int WithinSubtree(void* root, xmlNode* node, xmlNode* parent) {
  const xmlNode* n = node && node->type == XML_NAMESPACE_DECL ? parent : node;
  for (; n; n = n->parent) {
    if (n == root) return 1;
  }
  return 0;
}

// Feeds the canonical bytes straight into a digest, without holding them.
struct TDigestSink {
  EVP_MD_CTX* context;
  bool signing;
  bool failed = false;
};

int WriteToDigest(void* sink, const char* bytes, int length) {
  auto* target = static_cast<TDigestSink*>(sink);
  const int ok =
      target->signing
          ? EVP_DigestSignUpdate(target->context, bytes, static_cast<std::size_t>(length))
          : EVP_DigestUpdate(target->context, bytes, static_cast<std::size_t>(length));
  if (ok != 1) {
    target->failed = true;
    return -1;
  }
  return length;
}

// Inclusive c14n 1.0 without comments of the document (as the callback shows it) into the sink.
bool CanonicaliseInto(xmlDoc* document, xmlC14NIsVisibleCallback visible, void* data,
                      TDigestSink& sink) {
  xmlOutputBuffer* output = xmlOutputBufferCreateIO(WriteToDigest, nullptr, &sink, nullptr);
  if (!output) return false;
  const int executed = xmlC14NExecute(document, visible, data, XML_C14N_1_0, nullptr, 0, output);
  const int closed = xmlOutputBufferClose(output);  // flushes what is still buffered
  return executed >= 0 && closed >= 0 && !sink.failed;
}

std::string Base64(const unsigned char* bytes, std::size_t length) {
  std::string out(4 * ((length + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                      static_cast<int>(length));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace

namespace xmldsig {

TDirectSigning SignEnvelopedDirectly(xmlNode& ASignature, xmlSecKey& AKey,
                                     const TReferenceDigest* AReferenceDigest) {
  const TEnvelopedForm form = MatchEnvelopedForm(&ASignature);
  if (!form.signedInfo) return TDirectSigning::NotDone;
  xmlSecKeyDataPtr value = xmlSecKeyGetValue(&AKey);
  // A key without its private half fails at the signature, and the generic processing then
  // reports it in its own words.
  if (!value || !xmlSecKeyDataCheckId(value, xmlSecOpenSSLKeyDataRsaId))
    return TDirectSigning::NotDone;
  EVP_PKEY* const pkey = xmlSecOpenSSLEvpKeyDataGetEvp(value);
  if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return TDirectSigning::NotDone;
  xmlDoc* const document = ASignature.doc;

  // The reference: the document without this signature, canonicalised, through SHA-1.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (AReferenceDigest) {
    std::copy(AReferenceDigest->begin(), AReferenceDigest->end(), digest);
    digestLength = static_cast<unsigned int>(AReferenceDigest->size());
  } else {
    EvpMdCtxPtr context{EVP_MD_CTX_new()};
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1) {
      return TDirectSigning::NotDone;
    }
    TDigestSink sink{context.get(), false};
    bool written;
    {
      const TDetachedNode detached(&ASignature);
      written = CanonicaliseInto(document, nullptr, nullptr, sink);
    }
    if (!written || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) {
      return TDirectSigning::NotDone;
    }
  }
  xmlNodeSetContent(form.digestValue, BAD_CAST Base64(digest, digestLength).c_str());

  // The signature value over SignedInfo as it now stands.
  std::vector<unsigned char> signature;
  {
    EvpMdCtxPtr context{EVP_MD_CTX_new()};
    bool signedOk =
        context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, pkey) == 1;
    if (signedOk) {
      TDigestSink sink{context.get(), true};
      const TPathOnly path(form.signedInfo);
      signedOk = CanonicaliseInto(document, WithinSubtree, form.signedInfo, sink);
    }
    std::size_t length = 0;
    signedOk = signedOk && EVP_DigestSignFinal(context.get(), nullptr, &length) == 1;
    if (signedOk) {
      signature.resize(length);
      signedOk = EVP_DigestSignFinal(context.get(), signature.data(), &length) == 1;
      signature.resize(length);
    }
    if (!signedOk) {
      xmlNodeSetContent(form.digestValue, nullptr);  // as it was: empty
      return TDirectSigning::NotDone;
    }
  }
  xmlNodeSetContent(form.signatureValue,
                    BAD_CAST Base64(signature.data(), signature.size()).c_str());

  if (form.keyInfo) {
    const XmlSecKeyInfoCtxPtr keyInfo{xmlSecKeyInfoCtxCreate(nullptr)};
    if (!keyInfo) return TDirectSigning::Failed;
    keyInfo->mode = xmlSecKeyInfoModeWrite;
    keyInfo->base64LineSize = kBase64LineSize;
    // The generic processing writes the public parts only (certificates, key values).
    keyInfo->keyReq.keyId = xmlSecKeyDataIdUnknown;
    keyInfo->keyReq.keyType = xmlSecKeyDataTypePublic;
    keyInfo->keyReq.keyUsage = xmlSecKeyUsageAny;
    if (xmlSecKeyInfoNodeWrite(form.keyInfo, &AKey, keyInfo.get()) < 0)
      return TDirectSigning::Failed;
  }
  return TDirectSigning::Signed;
}

}  // namespace xmldsig
