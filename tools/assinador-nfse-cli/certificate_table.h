#pragma once

// The certificate listings as people read them: one row per certificate under the headings
// Titular, Série, Válido até and Emissor, and a column Situação ("VENCIDO", "ainda não válido")
// only when some certificate is outside its validity. "--bruto" prints the service's text
// instead, which this never changes.

#include <vector>

#include "platform/text.h"
#include "tools/assinador-nfse-cli/validity_notes.h"

struct TCertificateRow {
  TListedCertificate Listed;
  TValidity Validity = TValidity::Valid;
};

// The table, each line ending with a line break; empty for no rows. Columns are as wide as
// their widest cell and two blanks apart; no line ends with blanks.
Text CertificateTable(const std::vector<TCertificateRow>& ARows);

// "VENCIDO", "ainda não válido", or nothing for a valid certificate.
TextView ValidityState(TValidity AValidity);
