#include "platform/xmldsig/library_scope.h"

#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <xmlsec/base64.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <string>

#include "platform/exception.h"
#include "platform/xmldsig/xml_handles.h"

namespace {

// Hands xmlsec's error reports to the collector of the calling thread; without one they are
// dropped rather than printed, since callers report failures through their own messages.
void CollectXmlSecError(const char* /*file*/, int /*line*/, const char* func,
                        const char* errorObject, const char* errorSubject, int reason,
                        const char* msg) {
  TLibraryErrors* errors = TLibraryErrors::Current();
  if (!errors) return;
  try {
    std::string entry = func ? func : "";
    if (errorObject) entry += std::string(" [") + errorObject + "]";
    if (errorSubject) entry += std::string(" ") + errorSubject;
    const char* reasonText = xmlSecErrorsGetMsg(static_cast<xmlSecSize>(0));
    for (xmlSecSize i = 0; xmlSecErrorsGetMsg(i) != nullptr; ++i) {
      if (xmlSecErrorsGetCode(i) == reason) {
        reasonText = xmlSecErrorsGetMsg(i);
        break;
      }
    }
    if (reasonText) entry += std::string(": ") + reasonText;
    if (msg) entry += std::string(" (") + msg + ")";
    errors->Add(entry);
  } catch (...) {
    // never let an exception cross the library
  }
}

// No parse may read a file or the network: every external entity or DTD is refused.
xmlParserInputPtr RefuseExternalEntity(const char* /*url*/, const char* /*id*/,
                                       xmlParserCtxtPtr /*ctxt*/) {
  return nullptr;
}

}  // namespace

TXmlLibraryScope::TXmlLibraryScope() {
  xmlInitParser();
  LIBXML_TEST_VERSION
  xmlSetExternalEntityLoader(RefuseExternalEntity);
  if (xmlSecInit() < 0) throw Exception(std::string_view{"xmlSecInit failed"});
  if (xmlSecCheckVersion() != 1) throw Exception(std::string_view{"xmlsec version mismatch"});
  if (xmlSecCryptoAppInit(nullptr) < 0) {
    throw Exception(std::string_view{"xmlSecCryptoAppInit failed"});
  }
  if (xmlSecCryptoInit() < 0) throw Exception(std::string_view{"xmlSecCryptoInit failed"});
  xmlSecErrorsSetCallback(CollectXmlSecError);
  // Signed output must hold no line break that the library adds by itself: base64 lines
  // longer than any value we write, and no line feeds between generated elements.
  xmlSecBase64SetDefaultLineSize(kBase64LineSize);
  xmlSecSetDefaultLineFeed(BAD_CAST "");
}

TXmlLibraryScope::~TXmlLibraryScope() {
  xmlSecCryptoShutdown();
  xmlSecCryptoAppShutdown();
  xmlSecShutdown();
  xmlCleanupParser();
}
