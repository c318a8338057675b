#include "server/classes/signer.h"

#include <openssl/err.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/certstore/certificate_policy.h"
#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/document_stream.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/signature_verification.h"
#include "platform/xmldsig/signing_profile.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"

namespace {

using xmldsig::CollectSignatures;
using xmldsig::DsigChild;
using xmldsig::IsDsig;

std::vector<xmlNode*> SignaturesOf(xmlDoc* ADocument) {
  std::vector<xmlNode*> found;
  CollectSignatures(ADocument->children, found);
  return found;
}

bool IsBlankText(const xmlChar* AText) {
  for (; AText && *AText; ++AText)
    if (*AText != ' ' && *AText != '\t' && *AText != '\r' && *AText != '\n') return false;
  return true;
}

// A template still to be signed: its signature value is there and empty.
bool IsUnsignedTemplate(xmlNode* ASignature) {
  xmlNode* const value = DsigChild(ASignature, "SignatureValue");
  if (!value) return false;
  const XmlCharPtr content{xmlNodeGetContent(value)};
  return IsBlankText(content.get());
}

// "de #rps1" or "do documento inteiro", for messages about one signature.
Text Described(const xmldsig::TSignatureForm& AForm) {
  using namespace signer_messages;
  if (AForm.references.empty() || AForm.references.front().id.empty())
    return Text{kOfWholeDocument};
  return Text{kOfId} + text::FromUtf8(AForm.references.front().id);
}

// Where the templates of a document stand among its Signature elements, in the order they
// are to be signed.
using TSigningOrder = std::vector<std::size_t>;

// The order in which the unsigned templates of a document that asks for more than its first
// signature are signed: every template after those its elements hold, since its digests cover
// them as they end up; a whole-document template (a placeholder's) covers every other and
// comes last. Nothing when the document's first Signature alone is to be signed (one template,
// the first; or none, and the first signature is signed again). Throws Exception, naming what
// is wrong, for a template outside the profile or whose element is missing, repeated or
// misplaced, two templates naming one Id, templates covering each other, and a signature
// already made that a template's signing would break.
std::optional<TSigningOrder> SeveralSignaturesOrder(const std::vector<xmlNode*>& ASignatures,
                                                    const xmldsig::TIdIndex& AIds) {
  using namespace signer_messages;
  struct TTemplate {
    std::size_t at;                 // among ASignatures
    std::vector<xmlNode*> targets;  // null: the whole document
  };
  std::vector<TTemplate> templates;
  std::vector<std::size_t> made;  // signatures already signed
  for (std::size_t at = 0; at < ASignatures.size(); ++at) {
    if (IsUnsignedTemplate(ASignatures[at]))
      templates.push_back({at, {}});
    else
      made.push_back(at);
  }
  if (templates.empty() || (templates.size() == 1 && templates.front().at == 0))
    return std::nullopt;
  static_assert(signer_text::kMaxPlaceholders == 1000, "kTooManySignatures names the limit");
  if (templates.size() > signer_text::kMaxPlaceholders) throw Exception(Text{kTooManySignatures});

  std::set<std::string> named;
  for (TTemplate& wanted : templates) {
    xmldsig::TSignatureForm form;
    if (Text refusal = xmldsig::ReadSignatureForm(*ASignatures[wanted.at], form); !refusal.empty())
      throw Exception(Text{kTemplateRefused} + refusal);
    for (const xmldsig::TReferenceForm& reference : form.references) {
      xmlNode* const target = xmldsig::ReferenceTarget(reference, AIds);
      if (Text refusal = xmldsig::ReferenceTargetRefusal(form, reference, AIds, target);
          !refusal.empty())
        throw Exception(Text{kTemplateRefused} + refusal);
      if (!reference.id.empty() && !named.insert(reference.id).second)
        throw Exception(Text{kIdNamedTwice} + text::FromUtf8(reference.id));
      wanted.targets.push_back(target);
    }
  }

  // Which templates cover each element, and which cover the whole document.
  std::unordered_map<const xmlNode*, std::vector<std::size_t>> coveredBy;
  std::vector<std::size_t> coverAll;
  for (std::size_t t = 0; t < templates.size(); ++t) {
    for (const xmlNode* target : templates[t].targets) {
      if (target)
        coveredBy[target].push_back(t);
      else
        coverAll.push_back(t);
    }
  }
  const auto coveringTemplates = [&](const xmlNode* ASignature, std::size_t AOwn) {
    std::set<std::size_t> found;
    for (const std::size_t t : coverAll)
      if (t != AOwn) found.insert(t);
    for (const xmlNode* n = ASignature->parent; n; n = n->parent)
      if (const auto at = coveredBy.find(n); at != coveredBy.end())
        for (const std::size_t t : at->second)
          if (t != AOwn) found.insert(t);
    return found;
  };

  // A signature already made must still verify: no template may lie within what it covers.
  for (const std::size_t at : made) {
    xmldsig::TSignatureForm form;
    if (Text refusal = xmldsig::ReadSignatureForm(*ASignatures[at], form); !refusal.empty())
      throw Exception(Text{kExistingSignatureRefused} + refusal);
    for (const xmldsig::TReferenceForm& reference : form.references) {
      const xmlNode* const target = xmldsig::ReferenceTarget(reference, AIds);
      for (const TTemplate& wanted : templates) {
        if (!target || xmldsig::IsWithin(ASignatures[wanted.at], target))
          throw Exception(Text{kWouldBreakSignature} + Described(form));
      }
    }
  }

  // waiting[t]: how many templates must be signed before t; covers[t]: those that wait for t.
  std::vector<std::size_t> waiting(templates.size(), 0);
  std::vector<std::vector<std::size_t>> covers(templates.size());
  for (std::size_t t = 0; t < templates.size(); ++t) {
    for (const std::size_t other : coveringTemplates(ASignatures[templates[t].at], t)) {
      covers[t].push_back(other);
      ++waiting[other];
    }
  }
  // In document order among those ready: the RPS before the batch, each RPS in its turn.
  TSigningOrder order;
  std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> ready;
  for (std::size_t t = 0; t < templates.size(); ++t)
    if (waiting[t] == 0) ready.push(t);
  while (!ready.empty()) {
    const std::size_t next = ready.top();
    ready.pop();
    order.push_back(templates[next].at);
    for (const std::size_t other : covers[next])
      if (--waiting[other] == 0) ready.push(other);
  }
  if (order.size() != templates.size()) throw Exception(Text{kSignaturesCoverEachOther});
  return order;
}

// The text steps of one signature (signer_text::PostProcess) made in the tree on a signature
// just signed: the blanks of its base64 values go and its key information keeps only its last
// certificate. Made before any signature that covers it is computed, so that the text after
// serialising needs no change that would break the covering signature's digest.
void CleanSignedValues(xmlNode* ANode, bool AInKeyInfo, std::vector<xmlNode*>& ACertificates) {
  for (xmlNode* node = ANode->children; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    const bool keyInfo =
        AInKeyInfo || (ANode->parent && IsDsig(node, "KeyInfo") && IsDsig(ANode, "Signature"));
    const bool certificate = AInKeyInfo && IsDsig(node, "X509Certificate");
    if (certificate) ACertificates.push_back(node);
    if (certificate || IsDsig(node, "SignatureValue") || IsDsig(node, "DigestValue")) {
      bool textOnly = true;
      for (const xmlNode* child = node->children; child; child = child->next)
        textOnly = textOnly && child->type == XML_TEXT_NODE;
      const XmlCharPtr content{xmlNodeGetContent(node)};
      if (textOnly && content) {
        std::string kept = reinterpret_cast<const char*>(content.get());
        std::erase_if(kept, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
        if (kept.size() != std::strlen(reinterpret_cast<const char*>(content.get())))
          xmlNodeSetContent(node, BAD_CAST kept.c_str());
      }
      continue;
    }
    CleanSignedValues(node, keyInfo, ACertificates);
  }
}

void CleanSignedValues(xmlNode* ASignature) {
  std::vector<xmlNode*> certificates;
  CleanSignedValues(ASignature, false, certificates);
  for (std::size_t k = 0; k + 1 < certificates.size(); ++k) {
    xmlUnlinkNode(certificates[k]);
    xmlFreeNode(certificates[k]);
  }
}

// Checks the returned text as a reader will: every signature in it verifies (those at AOurs
// among its Signature elements with AKey, the others with their own certificates) and no
// template is left empty. Throws Exception naming the first that fails.
void CheckReturned(const Text& ASignedXml, const std::set<std::size_t>& AOurs,
                   const IXMLDSigKey& AKey, const ICertificate2& ACertificate) {
  using namespace signer_messages;
  IXMLDOMDocument3 returned;
  if (!returned.loadXML(ASignedXml)) throw Exception(Text{kSigningFailed});
  const std::vector<xmlNode*> signatures = SignaturesOf(returned.Handle());
  const xmldsig::TIdIndex ids(*returned.Handle());
  TLibraryErrors errors;
  for (std::size_t at = 0; at < signatures.size(); ++at) {
    xmldsig::TSignatureForm form;
    if (Text refusal = xmldsig::ReadSignatureForm(*signatures[at], form); !refusal.empty())
      throw Exception(Text{kExistingSignatureRefused} + refusal);
    const bool ours = AOurs.contains(at);
    const X509Ptr own = ours ? nullptr : xmldsig::SigningCertificateOf(*signatures[at]);
    EVP_PKEY* const key = ours  ? xmldsig::RsaKeyOf(AKey)
                          : own ? X509_get0_pubkey(own.get())
                                : nullptr;
    const bool intact =
        key && xmldsig::CheckIntegrity(form, ids, key).state == xmldsig::TIntegrity::Intact;
    ERR_clear_error();
    if (intact) continue;
    if (ours && ACertificate.KeyOnDevice()) throw Exception(Text{store_messages::kKeyMismatch});
    if (ours) throw Exception(Text{kSigningFailed});
    throw Exception(Text{kSignatureDoesNotVerify} + Described(form));
  }
}

// The signing key for ACertificate, with the certificates written into the key information
// assigned to ASignature: those of the personal store that carry the signing certificate's
// serial number. Null when the provider gives no key.
IXMLDSigKeyPtr PrepareSigningKey(IXMLDigitalSignature& ASignature,
                                 const ICertificate2& ACertificate,
                                 const ICertificates2& APersonal) {
  IStore3 memory;
  memory.Open(CAPICOM_MEMORY_STORE, signer_messages::kMemoryStore,
              CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const Text& serial = ACertificate.SerialNumber();
  for (int i = 1; i <= APersonal.Count(); ++i) {
    ICertificate2Ptr candidate = APersonal.Item(i);
    if (candidate->SerialNumber() == serial) memory.Add(candidate);
  }
  const IPrivateKey privateKey = ACertificate.PrivateKey();
  ASignature.setStore(memory);
  return ASignature.createKeyFromCSP(privateKey.ProviderType(), privateKey.ProviderName(),
                                     privateKey.ContainerName(), 0);
}

// Counts a document the one-pass path leaves to the tree path; the reader counts its own.
std::nullopt_t FallBack(xmldsig::TDeclineReason AReason) {
  xmldsig::StreamDeclines().Count(AReason);
  return std::nullopt;
}

// The signed document, for a document of the plain form with a signature template, read in one
// pass without a tree; nothing for any other document or failure, which the tree path then
// reads and reports. APersonal() lists the personal store. The template is signed inside a small
// document that gives it the same namespaces in scope, with the digest of the whole document, and
// serialised and post-processed as the whole document would be; its text goes where the template
// stood. AReleasable (the text AXMLDocument views) is freed once nothing can fall back.
template <class TListing>
std::optional<Text> SignStreamed(TextView AXMLDocument, const ICertificate2& ACertificate,
                                 const TListing& APersonal, Text* AReleasable) {
  using namespace signer_messages;
  static const std::string kTemplate = text::ToUtf8(kSignatureTemplate);
  std::optional<xmldsig::TStreamedDocument> streamed;
  Text declaration;
  {
    const std::optional<std::string> prepared = signer_text::PrepareDocumentUtf8(AXMLDocument);
    if (!prepared) return FallBack(xmldsig::TDeclineReason::Size);  // too many templates
    streamed = xmldsig::StreamEnvelopedDocument(*prepared, kTemplate);
    if (!streamed) return std::nullopt;
    declaration =
        text::FromUtf8(std::string_view{*prepared}.substr(0, streamed->declarationLength));
  }

  std::string scope = "<w";
  for (const auto& [prefix, uri] : streamed->prefixesInScope) {
    scope += " xmlns:" + prefix + "=\"" + uri + "\"";
  }
  scope += ">" + kTemplate + "</w>";
  IXMLDOMDocument3 small;
  if (!small.loadXML(text::FromUtf8(scope))) return FallBack(xmldsig::TDeclineReason::SignedApart);
  small.setProperty(kSelectionProperty, kSelectionNamespaces);
  IXMLDigitalSignature signature;
  signature.setSignature(small.selectSingleNode(kSelectSignature));
  if (!signature.signature()) return FallBack(xmldsig::TDeclineReason::SignedApart);

  const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, APersonal());
  if (!key) return FallBack(xmldsig::TDeclineReason::SignedApart);
  signature.setReferenceDigest(streamed->digest);
  if (!signature.sign(*key, CERTIFICATES) || !signature.signedDirectly())
    return FallBack(xmldsig::TDeclineReason::SignedApart);

  const Text element = signer_text::PostProcessUtf8(small.SerialisedUtf8(), {});
  constexpr TextView kScopeEnd = u"</w>";
  const std::size_t start = element.find(u'>');
  if (start == Text::npos || !TextView{element}.ends_with(kScopeEnd))
    return FallBack(xmldsig::TDeclineReason::SignedApart);
  const TextView signedElement =
      TextView{element}.substr(start + 1, element.size() - start - 1 - kScopeEnd.size());

  // Nothing from here on falls back to the tree: the client's text can go before its signed
  // copy is made.
  if (AReleasable) Text().swap(*AReleasable);
  const std::string_view serialised = streamed->serialised;
  Text out;
  out.reserve(declaration.size() + serialised.size() + signedElement.size());
  out += declaration;
  text::AppendFromUtf8(serialised.substr(0, streamed->signatureAt), out);
  out += signedElement;
  text::AppendFromUtf8(serialised.substr(streamed->signatureAt), out);
  return out;
}

// Signs every template at AOrder among ASignatures (the Signature elements of ADom), in that
// order, and returns the document's text once every signature verifies in it.
Text SignSeveral(std::unique_ptr<IXMLDOMDocument3> ADom, const Text& ADeclaration,
                 const std::vector<xmlNode*>& ASignatures, const TSigningOrder& AOrder,
                 const xmldsig::TIdIndex& AIds, const ICertificate2& ACertificate,
                 const ICertificates2& APersonal) {
  using namespace signer_messages;
  IXMLDigitalSignature signature;
  const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, APersonal);
  if (!key) throw Exception(Text{kCspKeyFailed});
  signature.setIdIndex(&AIds);
  for (const std::size_t at : AOrder) {
    signature.setSignature(ASignatures[at]);
    if (!signature.sign(*key, CERTIFICATES)) {
      if (signature.refused()) throw Exception(Text{kTemplateRefused} + signature.lastError());
      xmldsig::TSignatureForm form;
      xmldsig::ReadSignatureForm(*ASignatures[at], form);
      throw Exception(
          Text{kSigningFailed} + Text{kSignatureOfReference} +
          text::FromUtf8(form.references.empty() ? std::string{} : form.references.front().id));
    }
    CleanSignedValues(ASignatures[at]);
  }
  signature.setSignature(nullptr);
  std::string serialised = ADom->SerialisedUtf8();
  ADom.reset();
  // Each signature was cleaned in the tree before those covering it were computed: cleaning
  // the text now would change what their digests cover.
  Text signedXml = signer_text::PostProcessUtf8(std::move(serialised), ADeclaration,
                                                signer_text::TSignatureCleaning::None);
  CheckReturned(signedXml, std::set<std::size_t>(AOrder.begin(), AOrder.end()), *key, ACertificate);
  return signedXml;
}

}  // namespace

void TSignerNFSEDocument::sign(const Text& AXMLDocument, const ICertificate2& ACertificate,
                               Text& ASignedXML, Text& AStatusText) {
  signWithListing(AXMLDocument, ACertificate, nullptr, ASignedXML, AStatusText);
}

void TSignerNFSEDocument::signWithListing(const Text& AXMLDocument,
                                          const ICertificate2& ACertificate,
                                          const ICertificates2* APersonal, Text& ASignedXML,
                                          Text& AStatusText, Text* AReleasable) {
  using namespace signer_messages;
  try {
    // A key on a device: its turn is held for the whole signature, and the key is asked for
    // once up front, so that a PIN refused or cancelled ends the call here, before either
    // reading of the document could ask again.
    // A certificate the municipalities' verifiers refuse is refused here, with the reason,
    // before a PIN is asked for.
    if (const std::string refusal = certificate_policy::SigningRefusal(ACertificate.Handle());
        !refusal.empty())
      throw Exception(Text{kCertificateRefused} + text::FromUtf8(refusal));
    const std::shared_ptr<void> turn = ACertificate.ReserveKey();
    if (ACertificate.KeyOnDevice()) ACertificate.PrivateKey();
    try {
      signWithTurn(AXMLDocument, ACertificate, APersonal, ASignedXML, AStatusText, AReleasable);
    } catch (const std::exception&) {
      // The device's own reason (pulled out, refused to sign) says more than the signature's.
      if (const Text failure = ACertificate.KeyFailure(); !failure.empty())
        throw Exception(failure);
      throw;
    }
  } catch (const std::exception& e) {
    AStatusText = Text{kSignFailed} + CR + MessageOf(e);
  }
}

void TSignerNFSEDocument::signWithTurn(const Text& AXMLDocument, const ICertificate2& ACertificate,
                                       const ICertificates2* APersonal, Text& ASignedXML,
                                       Text& AStatusText, Text* AReleasable) {
  using namespace signer_messages;
  {
    std::optional<ICertificates2> listed;
    const auto personal = [&]() -> const ICertificates2& {
      if (APersonal) return *APersonal;
      if (!listed) {
        IStore3 store;
        store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE,
                   CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
        listed.emplace(store.Certificates());
      }
      return *listed;
    };

    // A device's key is checked against the certificate only by what it signs: such documents
    // take the tree path, which verifies what it returns.
    if (FReading == TDocumentReading::Streamed && !ACertificate.KeyOnDevice()) {
      std::optional<Text> streamed;
      try {
        streamed = SignStreamed(AXMLDocument, ACertificate, personal, AReleasable);
      } catch (const std::exception&) {
        streamed.reset();  // the tree path meets the same failure and words it
        FallBack(xmldsig::TDeclineReason::SignedApart);
      }
      if (streamed) {
        ASignedXML = std::move(*streamed);
        AStatusText = Text{kStatusOk};
        return;
      }
    }

    // The document lives as long as its stages need it: the prepared text until it is
    // parsed, the tree until it is serialised, the serialised bytes until they are converted.
    auto dom = std::make_unique<IXMLDOMDocument3>();
    Text declaration;
    const auto load = [&](signer_text::TPlaceholderUse AUse) {
      Text document = signer_text::PrepareDocument(AXMLDocument, AUse);
      declaration = signer_text::CaptureDeclaration(document);
      // The message quotes the prepared text, made again: the load released it.
      if (!dom->loadXMLAndRelease(std::move(document)))
        throw Exception(Text{kLoadFailed} + signer_text::PrepareDocument(AXMLDocument, AUse));
    };
    load(signer_text::TPlaceholderUse::AsWritten);
    std::vector<xmlNode*> signatures = SignaturesOf(dom->Handle());
    // Placeholders beside templates of the document's own are signatures asked for too: the
    // document is read again with them as templates, which cover the rest and come last.
    if (signer_text::HasPlaceholderBesideSignature(AXMLDocument) &&
        std::any_of(signatures.begin(), signatures.end(), IsUnsignedTemplate)) {
      load(signer_text::TPlaceholderUse::Template);
      signatures = SignaturesOf(dom->Handle());
    }
    IXMLDigitalSignature signature;

    const xmldsig::TIdIndex ids(*dom->Handle());
    if (const std::optional<TSigningOrder> order = SeveralSignaturesOrder(signatures, ids)) {
      ASignedXML = SignSeveral(std::move(dom), declaration, signatures, *order, ids, ACertificate,
                               personal());
      AStatusText = Text{kStatusOk};
      return;
    }

    dom->setProperty(kSelectionProperty, kSelectionNamespaces);
    signature.setSignature(dom->selectSingleNode(kSelectSignature));
    if (!signature.signature()) throw Exception(Text{kTemplateMissing});

    const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, personal());
    if (!key) throw Exception(Text{kCspKeyFailed});

    signature.setIdIndex(&ids);
    const IXMLDSigKeyPtr used = signature.sign(*key, CERTIFICATES);
    if (!used && signature.refused())
      throw Exception(Text{kTemplateRefused} + signature.lastError());
    if (!used) throw Exception(Text{kSigningFailed});

    std::string serialised = dom->SerialisedUtf8();
    signature.setSignature(nullptr);
    dom.reset();
    Text signedXml = signer_text::PostProcessUtf8(std::move(serialised), declaration);
    // The text handed back must verify as it stands: the generic processing is checked, a
    // device's key is checked against its certificate only by what it signs, and the other
    // signatures of the document must still hold.
    if (!signature.signedDirectly() || ACertificate.KeyOnDevice() || signatures.size() > 1)
      CheckReturned(signedXml, {0}, *key, ACertificate);
    ASignedXML = std::move(signedXml);
    AStatusText = Text{kStatusOk};
  }
}

Text TSignerNFSEDocument::LoadFailureReason(const Text& AXMLDocument) {
  Text document;
  try {
    document = signer_text::PrepareDocument(AXMLDocument);
  } catch (const std::exception&) {
    return Text{signer_messages::kTooManyPlaceholders};
  }
  IXMLDOMDocument3 dom;
  if (dom.loadXML(document)) return {};
  Text reason = dom.parseError();
  while (!reason.empty() && static_cast<unsigned>(reason.back()) <= 32) reason.pop_back();
  return reason;
}
