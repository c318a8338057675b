#pragma once

// Texts of the server configuration ("[Configuração do Servidor]"), byte for byte as the
// operator and the journal see them.

#include "platform/text.h"

namespace config_messages {

// "... O Arquivo de configuração "<file>" não foi encontrado!"
inline constexpr TextView kMissingFileBefore =
    u"[Configuração do Servidor] O Arquivo de configuração \"";
inline constexpr TextView kMissingFileAfter = u"\" não foi encontrado!";
// A program without --config that found its file in none of the places it looks at:
// "... não foi encontrado em "<first>" nem em "<second>"!".
inline constexpr TextView kMissingPlacesBefore =
    u"[Configuração do Servidor] O Arquivo de configuração não foi encontrado em \"";
inline constexpr TextView kMissingPlacesOr = u"\" nem em \"";
inline constexpr TextView kMissingPlacesAfter = u"\"!";
// A port the server cannot listen on: kInvalidPortBefore <file> kInvalidPortMiddle <what was
// found: kPortAbsent, kPortEmpty or the value in quotes> kInvalidPortAfter.
inline constexpr TextView kInvalidPortBefore =
    u"[Configuração do Servidor] PORTA ausente ou inválida em \"";
inline constexpr TextView kInvalidPortMiddle = u"\": ";
inline constexpr TextView kPortAbsent = u"chave ausente";
inline constexpr TextView kPortEmpty = u"valor vazio";
inline constexpr TextView kInvalidPortAfter =
    u". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 (por exemplo PORTA=8080).";
// Why PORTA may look absent, after the message above.
inline constexpr TextView kAccentedSectionHint =
    u"O arquivo tem uma seção parecida: o nome da seção é [CONFIGURACAO], sem acentos.";
inline constexpr TextView kPortOutsideHint =
    u"O arquivo tem PORTA fora da seção [CONFIGURACAO]: ponha-a depois da linha [CONFIGURACAO].";
inline constexpr TextView kUtf16Hint =
    u"O arquivo parece estar em UTF-16: salve-o em UTF-8 (ou ANSI) no editor.";
// Warnings of a load: kUnknownKeyBefore <key> " na linha " <n> kUnknownKeyAfter, and
// kRepeatedKeyBefore <key> " na linha " <n> "; vale a da linha " <first> ".".
inline constexpr TextView kUnknownKeyBefore =
    u"[Configuração do Servidor] Aviso: chave desconhecida ";
inline constexpr TextView kUnknownKeyAfter =
    u" da seção [CONFIGURACAO], que não vale (as chaves são PORTA, CLIENTES, ENDERECO, USUARIO, "
    u"SENHA_HASH e MEMORIA_CLIENTES).";
inline constexpr TextView kRepeatedKeyBefore = u"[Configuração do Servidor] Aviso: chave repetida ";
inline constexpr TextView kKindNotImplemented =
    u"[Configuração do Servidor] Tipo de configuração não implementada.";
// Followed by the file's path.
inline constexpr TextView kUnableToWrite = u"Unable to write to ";
// "Cannot open file "<file>". <reason>": the file is there but cannot be read.
inline constexpr TextView kCannotOpen = u"Cannot open file \"";

inline constexpr std::string_view kSection = "CONFIGURACAO";
inline constexpr std::string_view kPortKey = "PORTA";
// The client networks the server admits (addresses with prefixes, or "*").
inline constexpr std::string_view kClientsKey = "CLIENTES";
// Followed by what is wrong with the key's value.
inline constexpr TextView kBadClients = u"[Configuração do Servidor] Chave CLIENTES: ";
// The user and the password hash (assinador-nfse-cli senha) a client must connect with; both or
// neither.
inline constexpr std::string_view kUserKey = "USUARIO";
inline constexpr std::string_view kPasswordHashKey = "SENHA_HASH";
// Followed by what is wrong with SENHA_HASH.
inline constexpr TextView kBadPasswordHash = u"[Configuração do Servidor] Chave SENHA_HASH: ";
// One of the two keys without the other: kLonelyBefore <present> kLonelyMiddle <missing>
// kLonelyAfter.
inline constexpr TextView kLonelyBefore = u"[Configuração do Servidor] Chave ";
inline constexpr TextView kLonelyMiddle = u" sem a chave ";
inline constexpr TextView kLonelyAfter =
    u": para pedir senha aos clientes, informe as duas (o usuário em USUARIO e, em SENHA_HASH, "
    u"o que \"assinador-nfse-cli senha\" escrever); para não pedir, retire as duas.";
// The local address the server listens on (every interface when absent).
inline constexpr std::string_view kBindAddressKey = "ENDERECO";
// Followed by what is wrong with the key's value.
inline constexpr TextView kBadBindAddress = u"[Configuração do Servidor] Chave ENDERECO: ";
// Most memory, in MiB, the server holds for its clients' requests and replies altogether.
inline constexpr std::string_view kClientMemoryKey = "MEMORIA_CLIENTES";
// Followed by the value found, in quotes.
inline constexpr TextView kBadClientMemory =
    u"[Configuração do Servidor] Chave MEMORIA_CLIENTES inválida (um número de MiB, de 16 a "
    u"1048576): ";
// The folder of the user's configuration and state that the installed programs share.
inline constexpr std::string_view kUserFolder = "assinador-nfse";

}  // namespace config_messages
