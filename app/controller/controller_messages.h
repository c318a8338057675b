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

// A port below the first unprivileged one without the right to bind it:
// kNoRightBefore <port> kNoRightMiddle <program> kNoRightSysctl <port> kNoRightAfter.
inline constexpr TextView kNoRightBefore = u"[Serviço] Sem permissão para atender na porta ";
inline constexpr TextView kNoRightMiddle =
    u": as portas abaixo de 1024 exigem um direito que o programa não tem. Dê esse direito ao "
    u"programa (sudo setcap cap_net_bind_service=+ep ";
inline constexpr TextView kNoRightSysctl =
    u") ou libere as portas baixas para todos os programas do computador (sudo sysctl "
    u"net.ipv4.ip_unprivileged_port_start=";
inline constexpr TextView kNoRightAfter = u"), ou escolha uma porta a partir de 1024.";
// The port is held by another signing server of this user (the tray program and the service
// both enabled, say): kHeldBefore <port> kHeldByServer <name> kHeldProcess <pid> kHeldAfter.
inline constexpr TextView kHeldBefore = u"[Serviço] A porta ";
inline constexpr TextView kHeldByServer =
    u" já está em uso por outro servidor de assinatura deste usuário (";
inline constexpr TextView kHeldProcess = u", processo ";
inline constexpr TextView kHeldAfter =
    u"). Use apenas um deles (o gerenciador na área de notificação ou o serviço "
    u"assinador-nfsed), ou dê a cada um a sua PORTA.";
// The port is held by any other program: kHeldBefore <port> kHeldByOther [" (" <name>
// kHeldProcess <pid> ")"] kHeldByOtherAfter CR "Detalhe: " <the transport's text>.
inline constexpr TextView kHeldByOther = u" já está em uso por outro programa deste computador";
inline constexpr TextView kHeldByOtherAfter =
    u". Feche esse programa ou escolha outra PORTA no arquivo de configuração (ss -ltnp mostra "
    u"que programa usa cada porta).";
// ENDERECO names an address this computer does not have: kNotLocalBefore <address>
// kNotLocalAfter.
inline constexpr TextView kNotLocalBefore = u"[Serviço] O endereço ";
inline constexpr TextView kNotLocalAfter =
    u" da chave ENDERECO não é de nenhuma interface de rede deste computador. Informe um "
    u"endereço dele (ip -brief address mostra quais são) ou retire a chave para atender em "
    u"todos.";
// Added to the failure of a restart or port change that left the running server as it was:
// CR kKeptServing <port> ".".
inline constexpr TextView kKeptServing = u"O servidor continua atendendo na porta ";
// The programs whose servers count as this user's signing servers (their process names).
inline constexpr std::string_view kServerProcessPrefix = "assinador-nfse";

// Tray hint: <copyright> CR <product> " (" <version> ") " CR kMonitoring <status word>.
inline constexpr TextView kMonitoring = u"Monitoramento: ";

}  // namespace controller_messages
