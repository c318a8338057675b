#pragma once

// Texts of the server configuration ("[Configuração do Servidor]"), byte for byte as the
// operator and the journal see them.

#include "platform/text.h"

namespace config_messages {

// "... O Arquivo de configuração "<file>" não foi encontrado!"
inline constexpr TextView kMissingFileBefore =
    u"[Configuração do Servidor] O Arquivo de configuração \"";
inline constexpr TextView kMissingFileAfter = u"\" não foi encontrado!";
inline constexpr TextView kKindNotImplemented =
    u"[Configuração do Servidor] Tipo de configuração não implementada.";
// Followed by the file's path.
inline constexpr TextView kUnableToWrite = u"Unable to write to ";
// "Cannot open file "<file>". <reason>": the file is there but cannot be read.
inline constexpr TextView kCannotOpen = u"Cannot open file \"";

inline constexpr std::string_view kSection = "CONFIGURACAO";
inline constexpr std::string_view kPortKey = "PORTA";

}  // namespace config_messages
