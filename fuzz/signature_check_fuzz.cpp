// Documents handed to "verificar": any text must end in a verdict for each signature, or a
// clean refusal, whatever its references, transforms and certificates hold.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/signature_verification.h"

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
    xmldsig::CheckSignatures(*dom.Handle(), nullptr, 1700000000);
    xmldsig::CheckSignatures(*dom.Handle(), &noAnchors, 1700000000);
  } catch (const Exception&) {
  }
  return 0;
}
