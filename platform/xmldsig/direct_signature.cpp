#include "platform/xmldsig/direct_signature.h"

#include <libxml/c14n.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/xml_handles.h"

namespace {

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

// Feeds the canonical bytes straight into a digest, without holding them.
enum class TSinkMode { Digest, Sign, Verify };

struct TDigestSink {
  EVP_MD_CTX* context;
  TSinkMode mode;
  bool failed = false;
};

int WriteToDigest(void* sink, const char* bytes, int length) {
  auto* target = static_cast<TDigestSink*>(sink);
  const auto size = static_cast<std::size_t>(length);
  const int ok =
      target->mode == TSinkMode::Sign     ? EVP_DigestSignUpdate(target->context, bytes, size)
      : target->mode == TSinkMode::Verify ? EVP_DigestVerifyUpdate(target->context, bytes, size)
                                          : EVP_DigestUpdate(target->context, bytes, size);
  if (ok != 1) {
    target->failed = true;
    return -1;
  }
  return length;
}

// The canonical form of the document, as the callback shows it, into the sink.
bool CanonicaliseInto(xmlDoc* document, const xmldsig::TCanonicalization& c14n,
                      xmlC14NIsVisibleCallback visible, void* data, TDigestSink& sink) {
  std::vector<xmlChar*> prefixes;
  for (const std::string& prefix : c14n.inclusivePrefixes)
    prefixes.push_back(const_cast<xmlChar*>(reinterpret_cast<const xmlChar*>(prefix.c_str())));
  prefixes.push_back(nullptr);
  xmlOutputBuffer* output = xmlOutputBufferCreateIO(WriteToDigest, nullptr, &sink, nullptr);
  if (!output) return false;
  const int executed = xmlC14NExecute(document, visible, data, c14n.mode,
                                      c14n.inclusivePrefixes.empty() ? nullptr : prefixes.data(),
                                      c14n.withComments ? 1 : 0, output);
  const int closed = xmlOutputBufferClose(output);  // flushes what is still buffered
  return executed >= 0 && closed >= 0 && !sink.failed;
}

// Visible: root and what lies within it (a namespace node counts as part of its element). The
// enveloped signature is taken out of the tree instead, so the walk never meets it.
int WithinSubtree(void* root, xmlNode* node, xmlNode* parent) {
  const xmlNode* n = node && node->type == XML_NAMESPACE_DECL ? parent : node;
  for (; n; n = n->parent)
    if (n == root) return 1;
  return 0;
}

// The canonical bytes of SignedInfo into a digest context (signing or verifying).
bool CanonicalSignedInfo(const xmldsig::TSignatureForm& form, TDigestSink& sink) {
  const TPathOnly path(form.signedInfo);
  return CanonicaliseInto(form.signature->doc, form.canonicalization, WithinSubtree,
                          form.signedInfo, sink);
}

std::string ContentOf(const xmlNode* node) {
  const XmlCharPtr content{xmlNodeGetContent(node)};
  return content ? reinterpret_cast<const char*>(content.get()) : std::string{};
}

}  // namespace

namespace xmldsig {

xmlNode* ReferenceTarget(const TReferenceForm& ARef, const TIdIndex& AIds) {
  return ARef.id.empty() ? nullptr : AIds.Find(ARef.id);
}

bool DigestReference(const TSignatureForm& AForm, const TReferenceForm& ARef, xmlNode* ATarget,
                     std::vector<unsigned char>& ADigest) {
  EvpMdCtxPtr context{EVP_MD_CTX_new()};
  if (!context || EVP_DigestInit_ex(context.get(), ARef.digest, nullptr) != 1) return false;
  TDigestSink sink{context.get(), TSinkMode::Digest};
  xmlNode* const signature = AForm.signature;
  // The enveloped transform leaves the signature out: taken out of the tree meanwhile, it is
  // neither walked nor written.
  const bool detach = ARef.enveloped && (!ATarget || IsWithin(signature, ATarget)) &&
                      signature != ATarget && signature->parent;
  if (ATarget && !detach && IsWithin(ATarget, signature)) {
    // An element inside the signature being computed: only the profile's refusals reach here.
    return false;
  }
  bool written;
  {
    std::optional<TDetachedNode> detached;
    if (detach) detached.emplace(signature);
    if (!ATarget) {
      written = CanonicaliseInto(signature->doc, ARef.canonicalization, nullptr, nullptr, sink);
    } else {
      const TPathOnly path(ATarget);
      written =
          CanonicaliseInto(signature->doc, ARef.canonicalization, WithinSubtree, ATarget, sink);
    }
  }
  unsigned int length = 0;
  ADigest.resize(EVP_MAX_MD_SIZE);
  if (!written || EVP_DigestFinal_ex(context.get(), ADigest.data(), &length) != 1) return false;
  ADigest.resize(length);
  return true;
}

bool SignSignedInfo(const TSignatureForm& AForm, EVP_PKEY* AKey,
                    std::vector<unsigned char>& AValue) {
  EvpMdCtxPtr context{EVP_MD_CTX_new()};
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, AForm.signatureDigest, nullptr, AKey) != 1)
    return false;
  TDigestSink sink{context.get(), TSinkMode::Sign};
  if (!CanonicalSignedInfo(AForm, sink)) return false;
  std::size_t length = 0;
  if (EVP_DigestSignFinal(context.get(), nullptr, &length) != 1) return false;
  AValue.resize(length);
  if (EVP_DigestSignFinal(context.get(), AValue.data(), &length) != 1) return false;
  AValue.resize(length);
  return true;
}

int VerifySignedInfo(const TSignatureForm& AForm, EVP_PKEY* AKey,
                     const std::vector<unsigned char>& AValue) {
  EvpMdCtxPtr context{EVP_MD_CTX_new()};
  if (!context ||
      EVP_DigestVerifyInit(context.get(), nullptr, AForm.signatureDigest, nullptr, AKey) != 1)
    return -1;
  TDigestSink sink{context.get(), TSinkMode::Verify};
  if (!CanonicalSignedInfo(AForm, sink)) return -1;
  return EVP_DigestVerifyFinal(context.get(), AValue.data(), AValue.size()) == 1 ? 1 : 0;
}

std::string ToBase64(const unsigned char* ABytes, std::size_t ALength) {
  std::string out(4 * ((ALength + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), ABytes,
                                      static_cast<int>(ALength));
  out.resize(static_cast<std::size_t>(std::max(written, 0)));
  return out;
}

bool FromBase64(std::string_view AText, std::vector<unsigned char>& ABytes) {
  std::string packed;
  packed.reserve(AText.size());
  for (const char c : AText)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') packed += c;
  if (packed.empty() || packed.size() % 4 != 0) return false;
  ABytes.resize(packed.size() / 4 * 3);
  const int length =
      EVP_DecodeBlock(ABytes.data(), reinterpret_cast<const unsigned char*>(packed.data()),
                      static_cast<int>(packed.size()));
  if (length < 0) return false;
  // EVP_DecodeBlock counts the padding as bytes.
  std::size_t size = static_cast<std::size_t>(length);
  if (packed.ends_with("=="))
    size -= 2;
  else if (packed.ends_with("="))
    size -= 1;
  ABytes.resize(size);
  return true;
}

TIntegrity CheckIntegrity(const TSignatureForm& AForm, const TIdIndex& AIds, EVP_PKEY* AKey) {
  TIntegrity result;
  for (const TReferenceForm& reference : AForm.references) {
    xmlNode* const target = ReferenceTarget(reference, AIds);
    result.targets.push_back(target);
    if (Text refusal = ReferenceTargetRefusal(AForm, reference, AIds, target); !refusal.empty()) {
      result.state = TIntegrity::Refused;
      result.refusal = std::move(refusal);
      return result;
    }
  }
  for (std::size_t k = 0; k < AForm.references.size(); ++k) {
    const TReferenceForm& reference = AForm.references[k];
    std::vector<unsigned char> expected;
    std::vector<unsigned char> actual;
    if (!DigestReference(AForm, reference, result.targets[k], actual)) {
      result.state = TIntegrity::Failed;
      return result;
    }
    if (!FromBase64(ContentOf(reference.digestValue), expected) || expected != actual) {
      result.state = TIntegrity::Changed;
      result.failedReference = k;
      return result;
    }
  }
  std::vector<unsigned char> value;
  if (!FromBase64(ContentOf(AForm.signatureValue), value)) {
    result.state = TIntegrity::Mismatch;
    return result;
  }
  switch (VerifySignedInfo(AForm, AKey, value)) {
    case 1:
      result.state = TIntegrity::Intact;
      break;
    case 0:
      result.state = TIntegrity::Mismatch;
      break;
    default:
      result.state = TIntegrity::Failed;
  }
  return result;
}

}  // namespace xmldsig
