#pragma once

// Certificate configuration: holds the serial number to look for (8-bit text in the locale's
// character set, normalised on assignment) and finds that certificate in the personal store.
// Made fresh for each lookup; one thread at a time.

#include <string>
#include <string_view>

#include "platform/certstore/certificate.h"
#include "platform/certstore/store.h"

class TCertificadosConf {
 public:
  // Removes every space, upper-cases a-z, trims characters of codes 0 to 32 at both ends.
  void setNumeroSerie(std::string_view AValue);
  const std::string& NumeroSerie() const { return FNumeroSerie; }

  // The first certificate of the personal store whose SerialNumber equals NumeroSerie and
  // whose private key is usable; when no match has one, the first match's key failure is
  // thrown. Throws Exception with "Número de Série do Certificado Digital não especificado !",
  // "Certificado Digital não encontrado!" or the store's message.
  ICertificate2Ptr GetCertificado();
  // The same in a listing of the personal store already read.
  ICertificate2Ptr GetCertificado(const ICertificates2& ACertificates);

  // The normalisation alone, for callers that show what will be looked for.
  static std::string Normalize(std::string_view AValue);

 private:
  std::string FNumeroSerie;
};
