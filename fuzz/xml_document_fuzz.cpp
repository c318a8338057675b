// Incoming NFS-e documents: the signer's text steps, parsing, selection of the signature
// element and serialisation must turn any text into a document or a clean refusal.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/exception.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/library_scope.h"
#include "server/classes/signer_text.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static TXmlLibraryScope scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const Text document =
      text::FromUtf8(std::string_view(reinterpret_cast<const char*>(AData), ASize));
  const Text prepared = signer_text::PrepareDocument(document);
  IXMLDOMDocument3 dom;
  if (!dom.loadXML(prepared)) return 0;
  try {
    dom.setProperty(u"SelectionNamespaces", u"xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"");
    dom.selectSingleNode(u".//ds:Signature");
    const Text declaration = signer_text::CaptureDeclaration(document);
    const Text processed = signer_text::PostProcess(dom.xml(), declaration);
    // The signer's path: the same steps on the serialiser's UTF-8, converted once.
    if (signer_text::PostProcessUtf8(dom.SerialisedUtf8(), declaration) != processed)
      __builtin_trap();
  } catch (const Exception&) {
  }
  return 0;
}
