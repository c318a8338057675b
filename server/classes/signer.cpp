#include "server/classes/signer.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/document_stream.h"
#include "platform/xmldsig/dom_document.h"
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

// The signed document, for a document of the plain form with a signature template, read in one
// pass without a tree; nothing for any other document or failure, which the tree path then
// reads and reports. APersonal() lists the personal store. The template is signed inside a small
// document that gives it the same namespaces in scope, with the digest of the whole document, and
// serialised and post-processed as the whole document would be; its text goes where the template
// stood.
template <class TListing>
std::optional<Text> SignStreamed(TextView AXMLDocument, const ICertificate2& ACertificate,
                                 const TListing& APersonal) {
  using namespace signer_messages;
  static const std::string kTemplate = text::ToUtf8(kSignatureTemplate);
  std::optional<xmldsig::TStreamedDocument> streamed;
  Text declaration;
  {
    const std::optional<std::string> prepared = signer_text::PrepareDocumentUtf8(AXMLDocument);
    if (!prepared) return std::nullopt;
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
  if (!small.loadXML(text::FromUtf8(scope))) return std::nullopt;
  small.setProperty(kSelectionProperty, kSelectionNamespaces);
  IXMLDigitalSignature signature;
  signature.setSignature(small.selectSingleNode(kSelectSignature));
  if (!signature.signature()) return std::nullopt;

  const IXMLDSigKeyPtr key = PrepareSigningKey(signature, ACertificate, APersonal());
  if (!key) return std::nullopt;
  signature.setReferenceDigest(streamed->digest);
  if (!signature.sign(*key, CERTIFICATES) || !signature.signedDirectly()) return std::nullopt;

  const Text element = signer_text::PostProcessUtf8(small.SerialisedUtf8(), {});
  constexpr TextView kScopeEnd = u"</w>";
  const std::size_t start = element.find(u'>');
  if (start == Text::npos || !TextView{element}.ends_with(kScopeEnd)) return std::nullopt;
  const TextView signedElement =
      TextView{element}.substr(start + 1, element.size() - start - 1 - kScopeEnd.size());

  const std::string_view serialised = streamed->serialised;
  Text out;
  out.reserve(declaration.size() + serialised.size() + signedElement.size());
  out += declaration;
  text::AppendFromUtf8(serialised.substr(0, streamed->signatureAt), out);
  out += signedElement;
  text::AppendFromUtf8(serialised.substr(streamed->signatureAt), out);
  return out;
}

}  // namespace

void TSignerNFSEDocument::sign(const Text& AXMLDocument, const ICertificate2& ACertificate,
                               Text& ASignedXML, Text& AStatusText) {
  signWithListing(AXMLDocument, ACertificate, nullptr, ASignedXML, AStatusText);
}

void TSignerNFSEDocument::signWithListing(const Text& AXMLDocument,
                                          const ICertificate2& ACertificate,
                                          const ICertificates2* APersonal, Text& ASignedXML,
                                          Text& AStatusText) {
  using namespace signer_messages;
  try {
    // A key on a device: its turn is held for the whole signature, and the key is asked for
    // once up front, so that a PIN refused or cancelled ends the call here, before either
    // reading of the document could ask again.
    const std::shared_ptr<void> turn = ACertificate.ReserveKey();
    if (ACertificate.KeyOnDevice()) ACertificate.PrivateKey();
    try {
      signWithTurn(AXMLDocument, ACertificate, APersonal, ASignedXML, AStatusText);
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
                                       Text& AStatusText) {
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
        streamed = SignStreamed(AXMLDocument, ACertificate, personal);
      } catch (const std::exception&) {
        streamed.reset();  // the tree path meets the same failure and words it
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
