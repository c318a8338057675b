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

// What the diagnostics say of a store file left out: the source, then
// "<kSkippedFile><path>: <reason>".
inline constexpr TextView kDiagnosticsSource = u"Certificados";
inline constexpr TextView kSkippedFile = u"Arquivo ignorado no repositório de certificados: ";
inline constexpr TextView kUnreadableFile = u"não foi possível ler o arquivo";
inline constexpr TextView kNoUsableCertificate = u"o arquivo não contém um certificado utilizável";
inline constexpr TextView kFileTooLarge =
    u"o arquivo é maior que 1 MiB, tamanho que nenhum certificado atinge";
inline constexpr TextView kPasswordProtected =
    u"o arquivo PKCS#12 é protegido por senha; inclua-o no repositório com "
    u"\"assinador-nfse-cli importar\"";

}  // namespace store_messages
