#include "platform/xmldsig/signature_verification.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/dsig_nodes.h"

namespace fs = std::filesystem;

namespace xmldsig {
namespace {

std::string TextOf(const xmlChar* AText) {
  return AText ? reinterpret_cast<const char*>(AText) : "";
}

// The local name of the element that carries AId; empty when none does.
std::string ElementWithId(xmlDoc& ADocument, const std::string& AId) {
  const xmlAttr* const attribute = xmlGetID(&ADocument, BAD_CAST AId.c_str());
  return attribute && attribute->parent ? TextOf(attribute->parent->name) : std::string{};
}

X509Ptr FromBase64(std::string ABase64) {
  std::erase_if(ABase64, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
  if (ABase64.empty() || ABase64.size() % 4 != 0) return nullptr;
  std::string der(ABase64.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                     reinterpret_cast<const unsigned char*>(ABase64.data()),
                                     static_cast<int>(ABase64.size()));
  if (length <= 0) return nullptr;
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  return X509Ptr{d2i_X509(nullptr, &cursor, length)};
}

void CollectCertificates(xmlNode* ANode, std::vector<X509Ptr>& AFound) {
  for (xmlNode* node = ANode->children; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (IsDsig(node, "X509Certificate")) {
      const XmlCharPtr content{xmlNodeGetContent(node)};
      if (X509Ptr certificate = FromBase64(TextOf(content.get())))
        AFound.push_back(std::move(certificate));
    } else {
      CollectCertificates(node, AFound);
    }
  }
}

// The signing certificate among those of the key information: the one that issued none of the
// others (the signer writes it last, after its chain).
std::size_t SigningCertificate(const std::vector<X509Ptr>& ACertificates) {
  for (std::size_t k = ACertificates.size(); k-- > 0;) {
    const bool issuesAnother =
        std::any_of(ACertificates.begin(), ACertificates.end(), [&](const X509Ptr& other) {
          return other.get() != ACertificates[k].get() &&
                 X509_check_issued(ACertificates[k].get(), other.get()) == X509_V_OK;
        });
    if (!issuesAnother) return k;
  }
  return ACertificates.size() - 1;
}

XmlSecKeyPtr PublicKeyOf(X509* ACertificate) {
  EvpPkeyPtr own = openssl::UpRef(X509_get0_pubkey(ACertificate));
  if (!own) return nullptr;
  XmlSecKeyDataPtr data{xmlSecOpenSSLEvpKeyAdopt(own.get())};
  if (!data) return nullptr;
  own.release();  // the key data owns the key from here on
  XmlSecKeyPtr key{xmlSecKeyCreate()};
  if (!key || xmlSecKeySetValue(key.get(), data.get()) < 0) return nullptr;
  data.release();  // the key owns its value from here on
  return key;
}

void CheckChain(TSignatureCheck& ACheck, X509* ALeaf, const std::vector<X509Ptr>& AOthers,
                const std::vector<X509Ptr>& AAnchors, std::time_t ANow) {
  const X509StorePtr store{X509_STORE_new()};
  const X509StackPtr untrusted{sk_X509_new_null()};
  const X509StoreCtxPtr context{X509_STORE_CTX_new()};
  if (!store || !untrusted || !context) openssl::ThrowError("X509_STORE");
  for (const X509Ptr& anchor : AAnchors) X509_STORE_add_cert(store.get(), anchor.get());
  for (const X509Ptr& other : AOthers) {
    if (X509_cmp(other.get(), ALeaf) == 0) continue;
    X509Ptr copy = openssl::UpRef(other.get());
    if (sk_X509_push(untrusted.get(), copy.get()) > 0) copy.release();
  }
  if (X509_STORE_CTX_init(context.get(), store.get(), ALeaf, untrusted.get()) != 1)
    openssl::ThrowError("X509_STORE_CTX_init");
  X509_STORE_CTX_set_time(context.get(), 0, ANow);
  const bool verified = X509_verify_cert(context.get()) == 1;
  const int error = X509_STORE_CTX_get_error(context.get());
  const int depth = X509_STORE_CTX_get_error_depth(context.get());
  ERR_clear_error();
  // The certificate's own dates are told apart from its chain: the chain is checked only up
  // to there, and the chain was whole.
  if (verified || (depth == 0 && (error == X509_V_ERR_CERT_HAS_EXPIRED ||
                                  error == X509_V_ERR_CERT_NOT_YET_VALID))) {
    ACheck.chain = TChainState::Trusted;
    return;
  }
  ACheck.chain = TChainState::Untrusted;
  ACheck.chainError = error;
  if (X509* const current = X509_STORE_CTX_get_current_cert(context.get())) {
    const ICertificate2 about(openssl::UpRef(current), EvpPkeyPtr{}, {}, Text{});
    ACheck.chainSubject = text::ToUtf8(about.GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME));
    ACheck.chainNotAfter = about.ValidTo();
  }
}

void CheckOne(xmlDoc& ADocument, xmlNode& ASignature, TSignatureCheck& ACheck) {
  if (xmlNode* const signedInfo = DsigChild(&ASignature, "SignedInfo")) {
    for (xmlNode* reference = signedInfo->children; reference; reference = reference->next) {
      if (!IsDsig(reference, "Reference")) continue;
      const XmlCharPtr uri{xmlGetProp(reference, BAD_CAST "URI")};
      const std::optional<std::string> id = ReferencedId(uri.get());
      if (!id || id->empty()) break;
      ACheck.id = *id;
      ACheck.element = ElementWithId(ADocument, *id);
      break;
    }
  }
  if (const Text refusal = SignatureRefusal(ASignature); !refusal.empty()) {
    ACheck.state = TSignatureState::Refused;
    ACheck.detail = text::ToUtf8(refusal);
    return;
  }
  xmlNode* const value = DsigChild(&ASignature, "SignatureValue");
  const XmlCharPtr valueContent{value ? xmlNodeGetContent(value) : nullptr};
  const std::string valueText = TextOf(valueContent.get());
  if (value && std::all_of(valueText.begin(), valueText.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n';
      })) {
    ACheck.state = TSignatureState::Unsigned;
    return;
  }
  if (xmlNode* const signedInfo = DsigChild(&ASignature, "SignedInfo")) {
    for (xmlNode* reference = signedInfo->children; reference; reference = reference->next) {
      if (!IsDsig(reference, "Reference")) continue;
      const XmlCharPtr uri{xmlGetProp(reference, BAD_CAST "URI")};
      const std::optional<std::string> id = ReferencedId(uri.get());
      if (id && !id->empty() && ElementWithId(ADocument, *id).empty()) {
        ACheck.state = TSignatureState::MissingElement;
        ACheck.failedId = *id;
        return;
      }
    }
  }

  std::vector<X509Ptr> certificates;
  if (xmlNode* const keyInfo = DsigChild(&ASignature, "KeyInfo"))
    CollectCertificates(keyInfo, certificates);
  ERR_clear_error();
  if (certificates.empty()) {
    ACheck.state = TSignatureState::NoCertificate;
    return;
  }
  const std::size_t signing = SigningCertificate(certificates);
  ACheck.certificate = std::make_shared<ICertificate2>(
      openssl::UpRef(certificates[signing].get()), EvpPkeyPtr{}, std::vector<X509Ptr>{}, Text{});

  TLibraryErrors errors;
  XmlSecKeyPtr key = PublicKeyOf(certificates[signing].get());
  DsigCtxPtr ctx{xmlSecDSigCtxCreate(nullptr)};
  if (!key || !ctx || !RestrictContext(*ctx)) {
    ACheck.state = TSignatureState::Unreadable;
    ACheck.detail = errors.Texts() + openssl::DrainErrors();
    return;
  }
  ctx->signKey = key.release();  // the context owns and frees the key from here on
  const int verified = xmlSecDSigCtxVerify(ctx.get(), &ASignature);
  ERR_clear_error();
  // The library stops at the first reference whose digest fails, before the signature value.
  for (xmlSecSize k = 0; k < xmlSecPtrListGetSize(&ctx->signedInfoReferences); ++k) {
    const auto* reference =
        static_cast<xmlSecDSigReferenceCtx*>(xmlSecPtrListGetItem(&ctx->signedInfoReferences, k));
    if (!reference || reference->status == xmlSecDSigStatusSucceeded) continue;
    const std::optional<std::string> id = ReferencedId(reference->uri);
    ACheck.state = TSignatureState::ContentChanged;
    ACheck.failedId = id ? *id : TextOf(reference->uri);
    ACheck.failedElement = id && !id->empty() ? ElementWithId(ADocument, *id) : std::string{};
    return;
  }
  if (verified < 0) {
    ACheck.state = TSignatureState::Unreadable;
    ACheck.detail = errors.Texts();
    return;
  }
  ACheck.state = ctx->status == xmlSecDSigStatusSucceeded ? TSignatureState::Valid
                                                          : TSignatureState::ValueMismatch;
}

}  // namespace

std::vector<X509Ptr> LoadTrustAnchors(const fs::path& APath) {
  std::vector<fs::path> files;
  std::error_code error;
  if (fs::is_directory(APath, error)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(APath, error))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
  } else {
    files.push_back(APath);
  }
  if (error)
    throw Exception(Text{dsig_messages::kAnchorsUnreadable} + text::FromUtf8(APath.string()) +
                    u": " + text::FromLocale(error.message()));
  std::vector<X509Ptr> anchors;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (!in.good() && !in.eof())
      throw Exception(Text{dsig_messages::kAnchorsUnreadable} + text::FromUtf8(file.string()));
    // PEM holds one or more certificates; otherwise the file may be one in DER.
    const BioPtr bio{BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))};
    bool found = false;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      anchors.emplace_back(certificate);
      found = true;
    }
    if (!found) {
      const auto* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
      if (X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())))
        anchors.emplace_back(certificate);
    }
    ERR_clear_error();
  }
  if (anchors.empty())
    throw Exception(Text{dsig_messages::kAnchorsEmpty} + text::FromUtf8(APath.string()));
  return anchors;
}

std::vector<TSignatureCheck> CheckSignatures(xmlDoc& ADocument,
                                             const std::vector<X509Ptr>* AAnchors,
                                             std::time_t ANow) {
  std::vector<xmlNode*> signatures;
  CollectSignatures(ADocument.children, signatures, kMaxCheckedSignatures);
  RegisterIdAttributes(&ADocument);
  std::vector<TSignatureCheck> checks(signatures.size());
  for (std::size_t k = 0; k < signatures.size(); ++k) {
    TSignatureCheck& check = checks[k];
    check.index = k + 1;
    CheckOne(ADocument, *signatures[k], check);
    if (AAnchors && check.certificate) {
      std::vector<X509Ptr> certificates;
      if (xmlNode* const keyInfo = DsigChild(signatures[k], "KeyInfo"))
        CollectCertificates(keyInfo, certificates);
      CheckChain(check, check.certificate->Handle(), certificates, *AAnchors, ANow);
    }
  }
  return checks;
}

}  // namespace xmldsig
