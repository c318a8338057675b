#pragma once

// Texts of the log journal, compared byte for byte by the tests.

#include <cstdint>

namespace log_messages {

inline constexpr char16_t kInfoLevel[] = u"INFORMAÇÃO";
inline constexpr char16_t kErrorLevel[] = u"   ERRO   ";
inline constexpr char16_t kExecution[] = u"Execução em ";
inline constexpr char16_t kMachine[] = u"Máquina: ";
inline constexpr char16_t kIP[] = u" - IP: ";
inline constexpr char16_t kEndMarker[] = u"### FIM ###\r";  // the end marker carries its own CR
// The companion file whose lock excludes other processes: the journal's name and this.
inline constexpr char kLockSuffix[] = ".lock";
// Past this size the journal moves aside to "<journal>.1" before the next record.
inline constexpr std::uintmax_t kMaxJournalBytes = 1 << 20;
// What standard error says when the journal cannot be written, and when it can again.
inline constexpr char16_t kJournalFailed[] =
    u"Não foi possível gravar o log; os registros seguem na saída de erro. Arquivo ";
inline constexpr char16_t kJournalBack[] = u"O log voltou a ser gravado: ";
inline constexpr char16_t kNoVersionInformation[] =
    u"Nenhuma informação encontrada sobre o Sistema Operacional.";

}  // namespace log_messages
