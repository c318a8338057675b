#pragma once

// Failure descriptions of the certificate store (the texts its callers show after their tags).

#include "platform/text.h"

namespace store_messages {

inline constexpr TextView kNoPrivateKey = u"O certificado não possui chave privada acessível";
inline constexpr TextView kKeyMismatch = u"A chave privada não corresponde ao certificado";
inline constexpr TextView kUnknownLocation = u"Local de repositório de certificados não suportado";
inline constexpr TextView kUnknownStore = u"Repositório de certificados não encontrado: ";
inline constexpr TextView kNotOpen = u"O repositório de certificados não está aberto";
inline constexpr TextView kAddNotAllowed =
    u"Somente o repositório em memória aceita a inclusão de certificados";
inline constexpr TextView kIndexOutOfRange = u"Índice de certificado fora do intervalo";
inline constexpr TextView kNoCertificate = u"Certificado ausente";

}  // namespace store_messages
