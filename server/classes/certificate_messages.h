#pragma once

// Texts of the certificate access layer ("[Certificado]"), byte for byte as clients see them.

#include "platform/text.h"

namespace certificate_messages {

inline constexpr TextView kListFailed = u"[Certificado] Erro ao Listar os Certificados.";
inline constexpr TextView kGetFailed = u"[Certificado] Erro ao Obter o Certificado!";
inline constexpr TextView kSerialMissing =
    u"Número de Série do Certificado Digital não especificado !";
inline constexpr TextView kNotFound = u"Certificado Digital não encontrado!";

// Pieces of one list entry: <subject>=serial=<serial>|validate=<date>|issuer=<issuer>.
inline constexpr TextView kSerialKey = u"serial=";
inline constexpr TextView kValidateKey = u"validate=";
inline constexpr TextView kIssuerKey = u"issuer=";
inline constexpr char16_t kSeparator = u'|';

}  // namespace certificate_messages
