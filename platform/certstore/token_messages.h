#pragma once

// What the token layer says when a token or its PIN stands in the way: the texts a signing
// failure carries after the signer's tag, and what the journal says of a module.

#include "platform/text.h"

namespace token_messages {

// Each of these is followed by the token's label in quotes.
inline constexpr TextView kTokenPrefix = u"Token \"";
inline constexpr TextView kRemoved = u"\": o token foi retirado; conecte-o novamente e repita";
inline constexpr TextView kRemovedDuringCall =
    u"\": o token foi retirado durante a assinatura; conecte-o novamente e repita";
inline constexpr TextView kPinIncorrect = u"\": PIN incorreto";
inline constexpr TextView kPinCountLow =
    u"; o token registra tentativas erradas: confira o PIN antes de tentar de novo";
inline constexpr TextView kPinFinalTry =
    u"; mais uma tentativa errada bloqueia o PIN: confira-o antes de tentar de novo";
inline constexpr TextView kPinLocked =
    u"\": o PIN está bloqueado; desbloqueie-o com o PUK na ferramenta do fabricante do token";
inline constexpr TextView kPinNotGiven = u"\": PIN não informado (";
inline constexpr TextView kBusy = u"\": o token está ocupado com outras assinaturas há mais de ";
inline constexpr TextView kBusyEnd = u" s; tente de novo";
inline constexpr TextView kNoKeyOnToken =
    u"\": O certificado não possui chave privada acessível no token";
inline constexpr TextView kNotRsa =
    u"\": a chave do certificado não é RSA, e a assinatura da NFS-e é RSA-SHA1";
inline constexpr TextView kDeviceError = u"\": o token falhou (";

// Why a PIN source gave none (inside kPinNotGiven's parentheses).
inline constexpr TextView kPinCancelled = u"digitação cancelada";
// kPinUnanswered <seconds> " s": the PIN dialog closed on its own.
inline constexpr TextView kPinUnanswered = u"sem resposta em ";
inline constexpr TextView kPinNoSource =
    u"este programa não tem de onde obter o PIN: informe-o com --pin-arquivo";
inline constexpr TextView kPinFileUnreadable = u"não foi possível ler o arquivo de PIN ";
inline constexpr TextView kPinFileOpen =
    u" pode ser lido por outros usuários; restrinja-o com chmod 600";
inline constexpr TextView kPinFileEmpty = u" está vazio";
inline constexpr TextView kPinFileRefused =
    u" já foi recusado por este token e não mudou; corrija o PIN no arquivo";

// The journal's source for what a module reports.
inline constexpr TextView kDiagnosticsSource = u"Tokens";
inline constexpr TextView kModuleNotLoaded = u"Módulo PKCS#11 não carregado: ";

}  // namespace token_messages
