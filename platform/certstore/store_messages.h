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

// Adding a PKCS#12 file to the personal store and removing entries from it.
inline constexpr TextView kImportTooLarge =
    u"O arquivo é maior que 1 MiB; não parece um arquivo PKCS#12 (.pfx/.p12)";
inline constexpr TextView kNotPkcs12 = u"O arquivo não é um PKCS#12 (.pfx/.p12) válido";
inline constexpr TextView kWrongPassword = u"Senha incorreta para o arquivo PKCS#12";
inline constexpr TextView kPkcs12Unreadable =
    u"Não foi possível abrir o conteúdo do arquivo PKCS#12 com essa senha";
// Each followed by the algorithm's name and object identifier: "GOST 28147-89 (1.2.643.2.2.21)".
inline constexpr TextView kUnsupportedEncryption =
    u"A criptografia do arquivo PKCS#12 não é suportada: ";
inline constexpr TextView kUnsupportedIntegrity =
    u"A verificação de integridade do arquivo PKCS#12 usa um algoritmo não suportado: ";
inline constexpr TextView kUnsupportedKey =
    u"A chave privada do arquivo PKCS#12 é de um tipo não suportado: ";
inline constexpr TextView kNotDecrypted =
    u"A senha confere, mas o conteúdo do arquivo PKCS#12 não pôde ser decifrado com ";
inline constexpr TextView kPkcs12WithoutKey = u"O arquivo PKCS#12 não contém uma chave privada";
inline constexpr TextView kPkcs12WithoutCertificate =
    u"O arquivo PKCS#12 não contém o certificado da chave privada (nenhum certificado do arquivo "
    u"corresponde à chave)";
inline constexpr TextView kEntryExists =
    u"O repositório já tem um certificado com o número de série ";
inline constexpr TextView kStoreNotWritable =
    u"Não foi possível gravar no repositório de certificados ";
inline constexpr TextView kCannotSign = u"O certificado não pode assinar NFS-e: ";
inline constexpr TextView kEntryNotRemoved = u"Não foi possível remover ";

}  // namespace store_messages
