#include "server/classes/signer.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/certstore/store.h"
#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
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

    // The certificates written into the key information: those of the personal store that
    // carry the signing certificate's serial number, gathered afresh on every call.
    std::optional<ICertificates2> listed;
    if (!APersonal) {
      IStore3 personal;
      personal.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE,
                    CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
      listed.emplace(personal.Certificates());
    }
    IStore3 memory;
    memory.Open(CAPICOM_MEMORY_STORE, kMemoryStore, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
    const ICertificates2& certificates = APersonal ? *APersonal : *listed;
    const Text& serial = ACertificate.SerialNumber();
    for (int i = 1; i <= certificates.Count(); ++i) {
      ICertificate2Ptr candidate = certificates.Item(i);
      if (candidate->SerialNumber() == serial) memory.Add(candidate);
    }

    const IPrivateKey privateKey = ACertificate.PrivateKey();
    signature.setStore(memory);
    const IXMLDSigKeyPtr key = signature.createKeyFromCSP(
        privateKey.ProviderType(), privateKey.ProviderName(), privateKey.ContainerName(), 0);
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
    ASignedXML = std::move(signedXml);
    AStatusText = Text{kStatusOk};
  } catch (const std::exception& e) {
    AStatusText = Text{kSignFailed} + CR + MessageOf(e);
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
