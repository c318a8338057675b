#include "server/classes/signer_remote_adapter.h"

#include <optional>

#include "platform/exception.h"
#include "server/classes/certificate_messages.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer_messages.h"

Text TSignerNFSEDocumentRemoteAdapter::doSign(const Text& AXMLContent, const Text& ASerialNumber,
                                              Text* AReleasable) {
  try {
    TDigitalCertificate certificates;
    // One listing of the store serves the lookup and the certificates written into the
    // signature; the next call lists it again.
    std::optional<ICertificates2> listing;
    const ICertificate2Ptr certificate =
        certificates.getCertificateBySerial(ASerialNumber, listing);
    if (!certificate) throw Exception(Text(certificate_messages::kNotFound));
    Text signedXml;
    Text status;
    signWithListing(AXMLContent, *certificate, listing ? &*listing : nullptr, signedXml, status,
                    AReleasable);
    // Moved out: a signed batch is megabytes of text.
    if (status == signer_messages::kStatusOk) return signedXml;
    return status;
  } catch (const std::exception& e) {
    return kAdapterSignError + Text(1, CR) + MessageOf(e);
  }
}
