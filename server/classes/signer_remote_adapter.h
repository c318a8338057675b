#pragma once

// The remote service's adapter over the signer: finds the certificate by serial number, signs
// the document with it and answers the signed document or an error text. Created for one call
// and released after it; safe on any thread.

#include "server/classes/signer.h"

inline constexpr char16_t kAdapterSignError[] =
    u"[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do Documento.";

class TSignerNFSEDocumentRemoteAdapter : public TSignerNFSEDocument {
 public:
  // The signed document; the signer's status text when signing fails; kAdapterSignError CR
  // message when the certificate lookup (or anything else here) fails. The lookup runs before
  // any signing work.
  // AReleasable: AXMLContent itself, when the caller lets signing free it once done with it.
  Text doSign(const Text& AXMLContent, const Text& ASerialNumber, Text* AReleasable = nullptr);
};
