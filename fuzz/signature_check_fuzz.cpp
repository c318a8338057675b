// Documents handed to "verificar": any text must end in a verdict for each signature, or a
// clean refusal, whatever its references, transforms, identifiers and certificates hold; and
// the profile's reading of each signature must agree with the verdict.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/dsig_nodes.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/signature_verification.h"
#include "platform/xmldsig/signing_profile.h"

namespace {

[[noreturn]] void Broken(const char* AWhat) {
  std::fprintf(stderr, "invariante violada: %s\n", AWhat);
  std::abort();
}

// What the verdicts promise: a valid signature was read by the profile, names what it covers,
// and every covered element stands beside or above the signature.
void CheckVerdicts(xmlDoc& ADocument, const xmldsig::TDocumentCheck& AResult) {
  std::vector<xmlNode*> signatures;
  xmldsig::CollectSignatures(ADocument.children, signatures, xmldsig::kMaxCheckedSignatures);
  if (signatures.size() != AResult.signatures.size()) Broken("uma assinatura sem veredito");
  if (AResult.uncovered.size() > xmldsig::kMaxUncoveredListed ||
      AResult.uncovered.size() > AResult.uncoveredTotal)
    Broken("lista de conteúdo descoberto");
  const xmldsig::TIdIndex ids(ADocument);
  for (std::size_t k = 0; k < signatures.size(); ++k) {
    const xmldsig::TSignatureCheck& check = AResult.signatures[k];
    if (check.state != xmldsig::TSignatureState::Valid) continue;
    xmldsig::TSignatureForm form;
    if (!xmldsig::ReadSignatureForm(*signatures[k], form).empty())
      Broken("válida, mas fora do perfil");
    if (check.references.size() != form.references.size() || form.references.empty())
      Broken("válida sem dizer o que cobre");
    for (const xmldsig::TReferenceForm& reference : form.references) {
      if (reference.id.empty()) continue;
      xmlNode* const target = ids.Find(reference.id);
      if (!target || ids.Repeated(reference.id))
        Broken("válida com identificador ausente ou repetido");
      if (target != signatures[k]->parent && target->parent != signatures[k]->parent)
        Broken("válida com o elemento fora do lugar");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static TXmlLibraryScope scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  IXMLDOMDocument3 dom;
  if (!dom.loadXML(text::FromUtf8(std::string_view(reinterpret_cast<const char*>(AData), ASize))))
    return 0;
  const std::vector<X509Ptr> noAnchors;
  try {
    // Without anchors, and with none trusted: the chain is built from the document alone.
    CheckVerdicts(*dom.Handle(), xmldsig::CheckSignatures(*dom.Handle(), nullptr, 1700000000));
    xmldsig::CheckSignatures(*dom.Handle(), &noAnchors, 1700000000);
  } catch (const Exception&) {
  }
  return 0;
}
