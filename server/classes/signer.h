#pragma once

// The NFS-e XML signer: places the signature template at the placeholder, computes the
// enveloped XML-DSig signature with the given certificate and post-processes the text.
// Holds no state; every call builds and releases what it uses. Safe on any thread.

#include "platform/certstore/certificate.h"
#include "platform/certstore/store.h"
#include "platform/text.h"

class IDocumentSignable {
 public:
  virtual ~IDocumentSignable() = default;
  // On success AStatusText becomes "OK" and ASignedXML the signed document; on failure
  // AStatusText becomes "[SignerNFSEDocument] Erro na Assinatura do Documento." CR + message and
  // ASignedXML is left as given. Never throws for an error that carries a message.
  virtual void sign(const Text& AXMLDocument, const ICertificate2& ACertificate, Text& ASignedXML,
                    Text& AStatusText) = 0;
};

// How a document is read for signing. Streamed reads the common plain documents without a
// tree, in one pass and a few times their size of memory, and every other document as TreeOnly
// does; both give the same bytes for the documents the stream reads.
enum class TDocumentReading { Streamed, TreeOnly };

class TSignerNFSEDocument : public IDocumentSignable {
 public:
  explicit TSignerNFSEDocument(TDocumentReading AReading = TDocumentReading::Streamed)
      : FReading(AReading) {}

  void sign(const Text& AXMLDocument, const ICertificate2& ACertificate, Text& ASignedXML,
            Text& AStatusText) override;

  // Why sign would not load the document, in the parser's own words (empty when it loads):
  // for people who need more than the load message, which the service keeps as it is.
  static Text LoadFailureReason(const Text& AXMLDocument);

 protected:
  // sign with the personal store as listed by the caller in the same call (the listing the
  // certificate was found in), so that the store is not read twice for one document.
  // AReleasable: AXMLDocument itself, when the caller lets it be freed once the signed text no
  // longer needs it (a document left empty then fails to load, it never signs).
  void signWithListing(const Text& AXMLDocument, const ICertificate2& ACertificate,
                       const ICertificates2* APersonal, Text& ASignedXML, Text& AStatusText,
                       Text* AReleasable = nullptr);

 private:
  // signWithListing's work once the certificate's key is at hand; throws on failure.
  void signWithTurn(const Text& AXMLDocument, const ICertificate2& ACertificate,
                    const ICertificates2* APersonal, Text& ASignedXML, Text& AStatusText,
                    Text* AReleasable);

  TDocumentReading FReading;
};
