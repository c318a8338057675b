#pragma once

#include <optional>

// Certificate access: lists the current user's personal store and finds a certificate by
// serial number. Created per request; holds no state. May be used from any thread.

#include <vector>

#include "platform/certstore/certificate.h"
#include "platform/certstore/store.h"
#include "platform/text.h"

class TDigitalCertificate {
 public:
  // Name=value entries "<subject>=serial=<serial>|validate=<date>|issuer=<issuer>", one per
  // distinct subject simple name. Throws Exception "[Certificado] Erro ao Listar os
  // Certificados." CR + inner message.
  std::vector<Text> getListSerialNumber();

  // The first certificate of the personal store with that serial number (normalised).
  // Throws Exception "[Certificado] Erro ao Obter o Certificado!" CR + inner message.
  ICertificate2Ptr getCertificateBySerial(const Text& ASerialNumber);
  // The same, also handing back the listing of the store it looked in.
  ICertificate2Ptr getCertificateBySerial(const Text& ASerialNumber,
                                          std::optional<ICertificates2>& AListing);
};
