#pragma once

// Texts of the server controller and of the program's start, byte for byte as the journal, the
// tray hint and the operator see them.

#include <array>

#include "platform/text.h"

namespace controller_messages {

// Information record of every configuration reload: kReload CR kPort <port>.
inline constexpr TextView kReload =
    u"[Controlador do Serviço] Recarga da Configuração do Assinador.";
inline constexpr TextView kPort = u"Porta: ";
// Error record of a failed reload: kReloadFailed CR <message>.
inline constexpr TextView kReloadFailed =
    u"[Controlador do Serviço] Erro na carga da configuração do Servidor.";
// Error record of a server that does not start with the program: kStartFailed CR <message>.
inline constexpr TextView kStartFailed = u"[Serviço] Erro na inicialização do servidor.";
inline constexpr TextView kInvalidPort = u"Valor inválido para a Porta do Servidor.";

// Tray hint: <copyright> CR <product> " (" <version> ") " CR kMonitoring <status word>.
inline constexpr TextView kMonitoring = u"Monitoramento: ";

}  // namespace controller_messages
