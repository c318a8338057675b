#pragma once

// What the programs that run all day say of a certificate of the store near its end: the
// journal record (once per certificate and run) and the tray's line.

#include "platform/text.h"

namespace validity_messages {

// "[Certificado] O certificado <serial> (<name>) venceu em <date>; ..."
inline constexpr TextView kJournalTag = u"[Certificado] O certificado ";
inline constexpr TextView kExpiredOn = u" venceu em ";
inline constexpr TextView kExpiredAdvice =
    u"; a prefeitura pode recusar as notas assinadas com ele. Providencie a renovação.";
// "... vence em <date> (faltam <n> dias); ..."
inline constexpr TextView kExpiresOn = u" vence em ";
inline constexpr TextView kExpiresAdvice = u"; providencie a renovação.";
inline constexpr TextView kOneDayLeft = u" (falta 1 dia)";
inline constexpr TextView kDaysLeft = u" (faltam ";  // <n> kDays ")"
inline constexpr TextView kDays = u" dias";
inline constexpr TextView kOneDay = u" dia";

// The tray's line (it replaces the copyright line of the hint, which has little room).
inline constexpr TextView kHintExpired = u"Certificado vencido: ";
inline constexpr TextView kHintExpiresToday = u"Certificado vence hoje: ";
inline constexpr TextView kHintExpiresIn = u"Certificado vence em ";  // <n> dia(s): <name>
inline constexpr TextView kHintSeveral = u" certificados vencidos ou a vencer";

}  // namespace validity_messages
