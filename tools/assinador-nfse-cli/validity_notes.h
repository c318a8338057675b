#pragma once

// What the tool says of a certificate outside its validity: a mark in the listings
// (certificate_table.h) and a warning before signing with it. The signature is made all the same
// (the prefeitura decides), and the texts of the service are never changed: the raw listing and the
// signed documents stay as the server gave them.

#include <ctime>
#include <optional>

#include "platform/text.h"
#include "server/utils/certificate_validity.h"

// "aviso: o certificado <serial> (<name>) venceu em <date>; ..." or "... só é válido a partir
// de <date>; ...": ADate is the end for an expired certificate, the beginning for one not yet
// valid. Empty for a valid certificate.
Text SigningWarning(TValidity AValidity, const Text& ASerial, const Text& AName, const Text& ADate);

// One entry of the service's certificate list,
// "<name>=serial=<serial>|validate=<date>|issuer=<issuer>", taken apart; Expiry when the date
// reads back (sys::ParseDateTime).
struct TListedCertificate {
  Text Name;
  Text Serial;
  Text ValidTo;  // as the server wrote it
  Text Issuer;
  std::optional<std::time_t> Expiry;
};
TListedCertificate ParseListEntry(TextView AEntry);
