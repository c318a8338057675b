// The signer's promise on any document: either an error text, or a well-formed document
// without line breaks whose first signature verifies with the signing key as handed back, and
// in which every signature verifies as a reader checks it and no template is left empty.
// Signs with the fixed test key of signing_driver.h, which also decodes the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/signing_driver.h"
#include "platform/exception.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/signature_verification.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

namespace {

using signing_fuzz::Decode;
using signing_fuzz::Signer;
using signing_fuzz::TSigner;

[[noreturn]] void Broken(const char* AWhat, const Text& ADetail) {
  std::fprintf(stderr, "invariante violada: %s\n%s\n", AWhat, text::ToUtf8(ADetail).c_str());
  std::abort();
}

void CheckInvariant(const Text& ADocument) {
  TSigner& signer = Signer();
  Text signedXml = u"antes";
  Text status;
  TSignerNFSEDocument().sign(ADocument, *signer.certificate, signedXml, status);
  if (status != signer_messages::kStatusOk) {
    if (status.rfind(Text{signer_messages::kSignFailed} + CR, 0) != 0)
      Broken("falha sem o texto de erro", status);
    if (signedXml != u"antes") Broken("falha que alterou o documento", signedXml);
    return;
  }
  if (signedXml.find_first_of(u"\r\n") != Text::npos) Broken("quebra de linha", signedXml);
  IXMLDOMDocument3 returned;
  if (!returned.loadXML(signedXml)) Broken("documento malformado", signedXml);
  returned.setProperty(signer_messages::kSelectionProperty, signer_messages::kSelectionNamespaces);
  xmlNode* const signature = returned.selectSingleNode(signer_messages::kSelectSignature);
  if (!signature) Broken("sem assinatura", signedXml);
  IXMLDigitalSignature keys;
  keys.setStore(signer.memory);
  const IPrivateKey privateKey = signer.certificate->PrivateKey();
  const IXMLDSigKeyPtr key = keys.createKeyFromCSP(
      privateKey.ProviderType(), privateKey.ProviderName(), privateKey.ContainerName(), 0);
  if (!key) std::abort();
  if (!xmldsig::VerifiesWith(*signature, *key)) Broken("assinatura não confere", signedXml);
  xmldsig::TDocumentCheck checked;
  try {
    checked = xmldsig::CheckSignatures(*returned.Handle(), nullptr, 1700000000);
  } catch (const Exception&) {
    return;  // more signatures than a reader checks
  }
  for (const xmldsig::TSignatureCheck& check : checked.signatures) {
    // A signature the document already carried may be by a certificate we would not sign with.
    if (check.state != xmldsig::TSignatureState::Valid &&
        check.state != xmldsig::TSignatureState::CertificateRefused)
      Broken(check.state == xmldsig::TSignatureState::Unsigned ? "modelo deixado vazio"
                                                               : "uma assinatura não confere",
             signedXml);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Signer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  CheckInvariant(Decode(AData, ASize));
  return 0;
}
