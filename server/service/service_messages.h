#pragma once

// Journal texts of the sign service, compared byte for byte by the tests.

#include "platform/text.h"

namespace service_messages {

inline constexpr char16_t kListFailed[] = u"[Negócio] Erro ao obter a lista de certificados.";
inline constexpr char16_t kSignFailed[] = u"[Negócio] Erro ao Assinar a Nota Fiscal.";

// A signature refused to a remote client (sign_failure_journal.h):
// kSignRefused <address> kSignRefusedSerial <serial> ")." CR <the client's error text>, and
// when failures of that address went unrecorded: CR kUnrecordedBefore <count> kUnrecordedAfter.
inline constexpr TextView kSignRefused = u"[Negócio] Assinatura recusada ao cliente ";
inline constexpr TextView kSignRefusedSerial = u" (certificado ";
inline constexpr TextView kUnrecordedBefore = u"Mais ";
inline constexpr TextView kUnrecordedAfter =
    u" assinatura(s) recusada(s) a este cliente desde o registro anterior, não registrada(s).";
// Stands in the error text for the document a load failure quotes: kDocumentLeftOut <length>
// kDocumentLeftOutEnd.
inline constexpr TextView kDocumentLeftOut = u"(documento omitido, ";
inline constexpr TextView kDocumentLeftOutEnd = u" caracteres)";
inline constexpr TextView kDiagnosticsSource = u"Serviço de assinatura";

}  // namespace service_messages
