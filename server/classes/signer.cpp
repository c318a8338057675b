#include "server/classes/signer.h"

#include <xmlsec/xmltree.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/document_stream.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"

namespace {

bool VerifiesAsReturned(const Text& ASignedXml, const IXMLDSigKey& AKey) {
  using namespace signer_messages;
  IXMLDOMDocument3 returned;
  if (!returned.loadXML(ASignedXml)) return false;
  returned.setProperty(kSelectionProperty, kSelectionNamespaces);
  xmlNode* const signature = returned.selectSingleNode(kSelectSignature);
  return signature && xmldsig::VerifiesWith(*signature, AKey);
}

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

// The IDs the references of a signature name ("#id"); nothing when it has no reference or one
// of them names the whole document or something else.
std::optional<std::vector<std::string>> ReferencedIds(xmlNode* ASignature) {
  xmlNode* const signedInfo = DsigChild(ASignature, "SignedInfo");
  if (!signedInfo) return std::nullopt;
  std::vector<std::string> ids;
  for (xmlNode* reference = signedInfo->children; reference; reference = reference->next) {
    if (!IsDsig(reference, "Reference")) continue;
    const XmlCharPtr uri{xmlGetProp(reference, BAD_CAST "URI")};
    std::optional<std::string> id = xmldsig::ReferencedId(uri.get());
    if (!id || id->empty()) return std::nullopt;
    ids.push_back(std::move(*id));
  }
  if (ids.empty()) return std::nullopt;
  return ids;
}

// Where the templates of a document that asks for several signatures stand among its
// Signature elements, in the order they are to be signed.
using TSigningOrder = std::vector<std::size_t>;

// ABRASF layouts sign each RPS and then the batch that holds them: two or more unsigned
// templates, each naming its own elements by ID. The order puts every template before those
// whose elements hold it, since their digests cover it as it ends up. Nothing for any other
// document, whose first Signature alone is signed. Throws Exception when an ID names no
// element, or when the templates cover each other and no order exists.
std::optional<TSigningOrder> SeveralSignaturesOrder(xmlDoc* ADocument,
                                                    const std::vector<xmlNode*>& ASignatures) {
  using namespace signer_messages;
  struct TTemplate {
    std::size_t at;  // among ASignatures
    std::vector<std::string> ids;
  };
  std::vector<TTemplate> templates;
  std::set<std::string> named;
  for (std::size_t at = 0; at < ASignatures.size(); ++at) {
    if (!IsUnsignedTemplate(ASignatures[at])) continue;
    std::optional<std::vector<std::string>> ids = ReferencedIds(ASignatures[at]);
    if (!ids) return std::nullopt;
    for (const std::string& id : *ids)
      if (!named.insert(id).second) return std::nullopt;
    templates.push_back({at, std::move(*ids)});
  }
  if (templates.size() < 2) return std::nullopt;
  static_assert(signer_text::kMaxPlaceholders == 1000, "kTooManySignatures names the limit");
  if (templates.size() > signer_text::kMaxPlaceholders) throw Exception(Text{kTooManySignatures});

  xmldsig::RegisterIdAttributes(ADocument);
  std::unordered_map<const xmlNode*, std::vector<std::size_t>> signedBy;  // element: templates
  for (std::size_t t = 0; t < templates.size(); ++t) {
    for (const std::string& id : templates[t].ids) {
      const xmlAttr* const attribute = xmlGetID(ADocument, BAD_CAST id.c_str());
      if (!attribute || !attribute->parent)
        throw Exception(Text{kReferenceWithoutElement} + text::FromUtf8(id));
      signedBy[attribute->parent].push_back(t);
    }
  }
  // waiting[t]: how many templates must be signed before t; covers[t]: the templates that wait
  // for t.
  std::vector<std::size_t> waiting(templates.size(), 0);
  std::vector<std::vector<std::size_t>> covers(templates.size());
  for (std::size_t t = 0; t < templates.size(); ++t) {
    std::set<std::size_t> after;
    for (const xmlNode* n = ASignatures[templates[t].at]->parent; n; n = n->parent) {
      if (const auto found = signedBy.find(n); found != signedBy.end())
        for (const std::size_t other : found->second)
          if (other != t) after.insert(other);
    }
    for (const std::size_t other : after) {
      covers[t].push_back(other);
      ++waiting[other];
    }
  }
  // In document order among those ready: the RPS before the batch, each RPS in its turn.
  TSigningOrder order;
  std::vector<bool> done(templates.size(), false);
  while (order.size() < templates.size()) {
    std::size_t next = templates.size();
    for (std::size_t t = 0; t < templates.size() && next == templates.size(); ++t)
      if (!done[t] && waiting[t] == 0) next = t;
    if (next == templates.size()) throw Exception(Text{kSignaturesCoverEachOther});
    done[next] = true;
    order.push_back(templates[next].at);
    for (const std::size_t other : covers[next]) --waiting[other];
  }
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

// Whether every signature at AAt among the Signature elements of the returned text verifies.
bool AllVerifyAsReturned(const Text& ASignedXml, const TSigningOrder& AAt,
                         const IXMLDSigKey& AKey) {
  IXMLDOMDocument3 returned;
  if (!returned.loadXML(ASignedXml)) return false;
  const std::vector<xmlNode*> signatures = SignaturesOf(returned.Handle());
  return std::all_of(AAt.begin(), AAt.end(), [&](std::size_t at) {
    return at < signatures.size() && xmldsig::VerifiesWith(*signatures[at], AKey);
  });
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
// order, and returns the document's text once each of them verifies in it.
Text SignSeveral(std::unique_ptr<IXMLDOMDocument3> ADom, const Text& ADeclaration,
                 const std::vector<xmlNode*>& ASignatures, const TSigningOrder& AOrder,
                 const ICertificate2& ACertificate, const ICertificates2& APersonal) {
  using namespace signer_messages;
  IXMLDigitalSignature signature;
  const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, APersonal);
  if (!key) throw Exception(Text{kCspKeyFailed});
  for (const std::size_t at : AOrder) {
    signature.setSignature(ASignatures[at]);
    if (!signature.sign(*key, CERTIFICATES)) {
      const std::optional<std::vector<std::string>> ids = ReferencedIds(ASignatures[at]);
      throw Exception(Text{kSigningFailed} + Text{kSignatureOfReference} +
                      text::FromUtf8(ids ? ids->front() : std::string{}));
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
  if (!AllVerifyAsReturned(signedXml, AOrder, *key)) {
    if (ACertificate.KeyOnDevice()) throw Exception(Text{store_messages::kKeyMismatch});
    throw Exception(Text{kSigningFailed});
  }
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
    {
      Text document = signer_text::PrepareDocument(AXMLDocument);
      declaration = signer_text::CaptureDeclaration(document);
      // The message quotes the prepared text, made again: the load released it.
      if (!dom->loadXMLAndRelease(std::move(document)))
        throw Exception(Text{kLoadFailed} + signer_text::PrepareDocument(AXMLDocument));
    }
    IXMLDigitalSignature signature;

    const std::vector<xmlNode*> signatures = SignaturesOf(dom->Handle());
    if (const std::optional<TSigningOrder> order =
            SeveralSignaturesOrder(dom->Handle(), signatures)) {
      ASignedXML =
          SignSeveral(std::move(dom), declaration, signatures, *order, ACertificate, personal());
      AStatusText = Text{kStatusOk};
      return;
    }

    dom->setProperty(kSelectionProperty, kSelectionNamespaces);
    signature.setSignature(dom->selectSingleNode(kSelectSignature));
    if (!signature.signature()) throw Exception(Text{kTemplateMissing});

    const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, personal());
    if (!key) throw Exception(Text{kCspKeyFailed});

    const IXMLDSigKeyPtr used = signature.sign(*key, CERTIFICATES);
    if (!used) throw Exception(Text{kSigningFailed});

    std::string serialised = dom->SerialisedUtf8();
    signature.setSignature(nullptr);
    dom.reset();
    Text signedXml = signer_text::PostProcessUtf8(std::move(serialised), declaration);
    // A signature of the client's own making may cover what signing itself changes (its key
    // information, its own values): the text handed back must verify as it stands.
    if (!signature.signedDirectly() && !VerifiesAsReturned(signedXml, *key))
      throw Exception(Text{kSigningFailed});
    if (signature.signedDirectly() && ACertificate.KeyOnDevice() &&
        !VerifiesAsReturned(signedXml, *key))
      throw Exception(Text{store_messages::kKeyMismatch});
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
