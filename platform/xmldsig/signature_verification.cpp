#include "platform/xmldsig/signature_verification.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/certstore/certificate_policy.h"
#include "platform/exception.h"
#include "platform/sys/system_error_text.h"
#include "platform/xmldsig/direct_signature.h"
#include "platform/xmldsig/dsig_messages.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/signing_profile.h"

namespace fs = std::filesystem;

namespace xmldsig {
namespace {

std::string TextOf(const xmlChar* AText) {
  return AText ? reinterpret_cast<const char*>(AText) : "";
}

X509Ptr CertificateFromBase64(const std::string& ABase64) {
  std::vector<unsigned char> der;
  if (!FromBase64(ABase64, der) || der.empty()) return nullptr;
  const unsigned char* cursor = der.data();
  return X509Ptr{d2i_X509(nullptr, &cursor, static_cast<long>(der.size()))};
}

// Decoded certificates by their base64 text: the signatures of a batch carry the same
// certificate, decoded once.
using TCertificateCache = std::unordered_map<std::string, X509Ptr>;

void CollectCertificates(xmlNode* ANode, std::vector<X509Ptr>& AFound,
                         TCertificateCache* ACache = nullptr) {
  for (xmlNode* node = ANode->children; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (IsDsig(node, "X509Certificate")) {
      const XmlCharPtr content{xmlNodeGetContent(node)};
      std::string base64 = TextOf(content.get());
      if (ACache) {
        if (const auto known = ACache->find(base64); known != ACache->end()) {
          if (known->second) AFound.push_back(openssl::UpRef(known->second.get()));
          continue;
        }
      }
      X509Ptr certificate = CertificateFromBase64(base64);
      if (ACache)
        ACache->emplace(std::move(base64),
                        certificate ? openssl::UpRef(certificate.get()) : X509Ptr{});
      if (certificate) AFound.push_back(std::move(certificate));
    } else {
      CollectCertificates(node, AFound, ACache);
    }
  }
}

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

// Only the leaf's own dates may be outside: they are told apart and reported as such, and
// every other check of the chain still runs.
int AcceptLeafDates(int AOk, X509_STORE_CTX* AContext) {
  if (AOk) return AOk;
  const int error = X509_STORE_CTX_get_error(AContext);
  return X509_STORE_CTX_get_error_depth(AContext) == 0 &&
                 (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID)
             ? 1
             : 0;
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
  X509_STORE_CTX_set_verify_cb(context.get(), AcceptLeafDates);
  const bool verified = X509_verify_cert(context.get()) == 1;
  const int error = X509_STORE_CTX_get_error(context.get());
  ERR_clear_error();
  if (verified) {
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

TCoveredElement Covered(const TReferenceForm& ARef, xmlNode* ATarget) {
  TCoveredElement covered;
  covered.id = ARef.id;
  if (ATarget) {
    covered.element = TextOf(ATarget->name);
    covered.place = NodePath(ATarget);
  }
  return covered;
}

bool IsBlankValue(const std::string& AText) {
  return std::all_of(AText.begin(), AText.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// Checks one signature; its covered elements go to ACovered when it is valid.
void CheckOne(xmlNode& ASignature, const TIdIndex& AIds, TCertificateCache& ACache,
              TSignatureCheck& ACheck, std::vector<xmlNode*>& ACovered, bool& AWholeDocument) {
  TSignatureForm form;
  if (const Text refusal = ReadSignatureForm(ASignature, form); !refusal.empty()) {
    ACheck.state = TSignatureState::Refused;
    ACheck.detail = text::ToUtf8(refusal);
    // What the plain references name is still told, so that the line says which signature
    // this is; the others are not resolved.
    if (xmlNode* const signedInfo = DsigChild(&ASignature, "SignedInfo")) {
      for (xmlNode* node = signedInfo->children; node; node = node->next) {
        if (!IsDsig(node, "Reference")) continue;
        const XmlCharPtr uri{xmlGetNoNsProp(node, BAD_CAST "URI")};
        const std::string value = TextOf(uri.get());
        if (!uri || (!value.empty() &&
                     (value[0] != '#' || xmlValidateNCName(BAD_CAST value.c_str() + 1, 0) != 0))) {
          ACheck.references.clear();
          break;
        }
        TReferenceForm plain;
        plain.id = value.empty() ? value : value.substr(1);
        ACheck.references.push_back(Covered(plain, ReferenceTarget(plain, AIds)));
      }
    }
    if (!ACheck.references.empty()) {
      ACheck.id = ACheck.references.front().id;
      ACheck.element = ACheck.references.front().element;
      ACheck.place = ACheck.references.front().place;
    }
    return;
  }
  std::vector<xmlNode*> targets;
  for (const TReferenceForm& reference : form.references) {
    targets.push_back(ReferenceTarget(reference, AIds));
    ACheck.references.push_back(Covered(reference, targets.back()));
  }
  ACheck.id = ACheck.references.front().id;
  ACheck.element = ACheck.references.front().element;
  ACheck.place = ACheck.references.front().place;

  const XmlCharPtr valueContent{xmlNodeGetContent(form.signatureValue)};
  if (IsBlankValue(TextOf(valueContent.get()))) {
    ACheck.state = TSignatureState::Unsigned;
    return;
  }
  for (std::size_t k = 0; k < form.references.size(); ++k) {
    if (!form.references[k].id.empty() && !targets[k]) {
      ACheck.state = TSignatureState::MissingElement;
      ACheck.failedId = form.references[k].id;
      return;
    }
  }

  std::vector<X509Ptr> certificates;
  if (form.keyInfo) CollectCertificates(form.keyInfo, certificates, &ACache);
  ERR_clear_error();
  if (certificates.empty()) {
    ACheck.state = TSignatureState::NoCertificate;
    return;
  }
  X509* const signing = certificates[SigningCertificate(certificates)].get();
  ACheck.certificate = std::make_shared<ICertificate2>(openssl::UpRef(signing), EvpPkeyPtr{},
                                                       std::vector<X509Ptr>{}, Text{});
  EVP_PKEY* const key = X509_get0_pubkey(signing);
  if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    // Only RSA is in the profile: say so rather than that the value does not match.
    ACheck.state = TSignatureState::CertificateRefused;
    ACheck.detail = certificate_policy::SigningRefusal(signing);
    if (ACheck.detail.empty()) ACheck.detail = text::ToUtf8(dsig_messages::kKeyNotRsa);
    ERR_clear_error();
    return;
  }

  TLibraryErrors errors;
  const TIntegrity integrity = CheckIntegrity(form, AIds, key);
  const std::string libraryTexts = errors.Texts() + openssl::DrainErrors();
  switch (integrity.state) {
    case TIntegrity::Intact:
      break;
    case TIntegrity::Refused:
      ACheck.state = TSignatureState::Refused;
      ACheck.detail = text::ToUtf8(integrity.refusal);
      return;
    case TIntegrity::Changed: {
      const TCoveredElement& failed = ACheck.references[integrity.failedReference];
      ACheck.state = TSignatureState::ContentChanged;
      ACheck.failedId = failed.id;
      ACheck.failedElement = failed.element;
      ACheck.failedPlace = failed.place;
      return;
    }
    case TIntegrity::Mismatch:
      ACheck.state = TSignatureState::ValueMismatch;
      return;
    case TIntegrity::Failed:
      ACheck.state = TSignatureState::Unreadable;
      ACheck.detail = libraryTexts;
      return;
  }
  if (std::string refusal = certificate_policy::SigningRefusal(signing); !refusal.empty()) {
    ACheck.state = TSignatureState::CertificateRefused;
    ACheck.detail = std::move(refusal);
    return;
  }
  ACheck.state = TSignatureState::Valid;
  for (xmlNode* const target : targets) {
    if (target)
      ACovered.push_back(target);
    else
      AWholeDocument = true;
  }
}

// Lists what no valid signature covers: elements that neither lie within a covered element
// nor are (or hold only) signatures, and text directly inside the elements that wrap covered
// ones. Elements that only wrap covered elements and signatures are not content themselves.
class TCoverage {
 public:
  TCoverage(const std::vector<xmlNode*>& ACovered, const std::vector<xmlNode*>& ASignatures,
            TDocumentCheck& AOut)
      : FOut(AOut) {
    FCovered.insert(ACovered.begin(), ACovered.end());
    for (const std::vector<xmlNode*>* marks : {&ACovered, &ASignatures})
      for (xmlNode* node : *marks)
        for (xmlNode* up = node->parent; up && up->type == XML_ELEMENT_NODE; up = up->parent)
          if (!FWrappers.insert(up).second) break;  // its ancestors are in already
  }

  void Visit(xmlNode* ANode) {
    if (FCovered.contains(ANode) || IsDsig(ANode, "Signature")) return;
    if (!FWrappers.contains(ANode)) {
      Report(NodePath(ANode));
      return;
    }
    bool textReported = false;
    for (xmlNode* child = ANode->children; child; child = child->next) {
      if (child->type == XML_ELEMENT_NODE) {
        Visit(child);
      } else if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
                 !textReported && !IsBlankValue(TextOf(child->content))) {
        Report(NodePath(ANode) + "/text()");
        textReported = true;
      }
    }
  }

 private:
  void Report(std::string APlace) {
    if (FOut.uncovered.size() < kMaxUncoveredListed) FOut.uncovered.push_back(std::move(APlace));
    ++FOut.uncoveredTotal;
  }

  TDocumentCheck& FOut;
  std::unordered_set<const xmlNode*> FCovered;
  std::unordered_set<const xmlNode*> FWrappers;
};

}  // namespace

std::vector<X509Ptr> LoadTrustAnchors(const fs::path& APath) {
  std::vector<fs::path> files;
  std::error_code error;
  if (fs::is_directory(APath, error)) {
    // The error_code overloads throughout: the library's own texts are in English.
    for (fs::directory_iterator it(APath, error), end; !error && it != end; it.increment(error)) {
      std::error_code kind;
      if (it->is_regular_file(kind)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
  } else {
    files.push_back(APath);
  }
  if (error)
    throw Exception(Text{dsig_messages::kAnchorsUnreadable} + text::FromUtf8(APath.string()) +
                    u": " + text::FromUtf8(sys::ErrorReason(error.value())));
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

TDocumentCheck CheckSignatures(xmlDoc& ADocument, const std::vector<X509Ptr>* AAnchors,
                               std::time_t ANow) {
  std::vector<xmlNode*> signatures;
  CollectSignatures(ADocument.children, signatures, kMaxCheckedSignatures);
  const TIdIndex ids(ADocument);
  TDocumentCheck result;
  result.signatures.resize(signatures.size());
  std::vector<xmlNode*> covered;
  bool wholeDocument = false;
  TCertificateCache decoded;
  for (std::size_t k = 0; k < signatures.size(); ++k) {
    TSignatureCheck& check = result.signatures[k];
    check.index = k + 1;
    CheckOne(*signatures[k], ids, decoded, check, covered, wholeDocument);
    if (AAnchors && check.certificate) {
      std::vector<X509Ptr> certificates;
      if (xmlNode* const keyInfo = DsigChild(signatures[k], "KeyInfo"))
        CollectCertificates(keyInfo, certificates, &decoded);
      CheckChain(check, check.certificate->Handle(), certificates, *AAnchors, ANow);
    }
  }
  if (!wholeDocument) {
    if (xmlNode* const root = xmlDocGetRootElement(&ADocument)) {
      TCoverage coverage(covered, signatures, result);
      coverage.Visit(root);
    }
  }
  return result;
}

X509Ptr SigningCertificateOf(xmlNode& ASignature) {
  std::vector<X509Ptr> certificates;
  if (xmlNode* const keyInfo = DsigChild(&ASignature, "KeyInfo"))
    CollectCertificates(keyInfo, certificates);
  ERR_clear_error();
  if (certificates.empty()) return nullptr;
  return std::move(certificates[SigningCertificate(certificates)]);
}

}  // namespace xmldsig
