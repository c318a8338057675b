#pragma once

// Journal texts of the sign service, compared byte for byte by the tests.

namespace service_messages {

inline constexpr char16_t kListFailed[] = u"[Negócio] Erro ao obter a lista de certificados.";
inline constexpr char16_t kSignFailed[] = u"[Negócio] Erro ao Assinar a Nota Fiscal.";

}  // namespace service_messages
