#pragma once

// Texts of the TCP transport, byte for byte as its callers and clients see them.

#include <string_view>

namespace tcp_messages {

// A channel's peer is gone (or the channel has no connection): every read and write raises it.
inline constexpr std::string_view kConnectionLost = "Connection lost";
inline constexpr std::string_view kBufferOutOfBounds = "Buffer range out of bounds";
// Followed by the error number, a blank and the system's text.
inline constexpr std::string_view kSocketError = "Socket Error # ";

inline constexpr std::string_view kCouldNotBind =
    "Could not bind socket. Address and port are already in use.";
// Followed by the identifier.
inline constexpr std::u16string_view kUnsupportedIPImplementationID =
    u"Unsupported IPImplementationID: ";
inline constexpr std::string_view kNoProtocolHandlerFactory = "No protocol handler factory";
inline constexpr std::string_view kNoProtocolHandler = "No protocol handler for the connection";

inline constexpr std::string_view kMaxThreadsExceeded =
    "The maximum number of threads for this scheduler is exceeded.";
inline constexpr std::string_view kPoolStopping = "Thread pool is stopping";

// A list of client networks that cannot be read; followed by the entry in quotes.
inline constexpr std::string_view kBadClientNetwork =
    "Rede de clientes inválida (use endereço/prefixo, como 192.168.0.0/16, ou *): ";
// A listening address that cannot be read; followed by the text in quotes.
inline constexpr std::string_view kBadBindAddress =
    "Endereço de escuta inválido (use um endereço IPv4 ou IPv6 deste computador, como 127.0.0.1 "
    "ou ::1, ou deixe vazio para todos): ";
// The source of the diagnostics of refused clients (its messages are for people as they stand).
inline constexpr std::u16string_view kRefusalSource = u"Clientes";
// What the diagnostics say of a connection refused for its address (at most once a minute for
// each address); followed by the address, then kRefusedClientEnd.
inline constexpr std::u16string_view kRefusedClient = u"Conexão recusada de ";
inline constexpr std::u16string_view kRefusedClientEnd =
    u": o endereço não está entre as redes de clientes admitidas (chave CLIENTES do arquivo de "
    u"configuração)";

// What follows the address when the connection slots were taken.
inline constexpr std::u16string_view kNoConnectionSlot =
    u": todas as vagas de conexão estão ocupadas";
inline constexpr std::u16string_view kNoAddressSlot =
    u": o endereço já ocupa todas as vagas de conexão que lhe cabem";
// Appended to a rate-limited line: how many lines about that address were held back since
// its previous one.
inline constexpr std::u16string_view kHeldBack = u" (mais ";
inline constexpr std::u16string_view kHeldBackEnd = u" ocorrências no último minuto)";

// The source named in the diagnostics of failures the transport cannot pass on.
inline constexpr std::u16string_view kDiagnosticsSource = u"TCP transport";

}  // namespace tcp_messages
