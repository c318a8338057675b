#pragma once

// Texts of the main window and its tray icon, byte for byte as the operator sees them.

#include <QString>

namespace form_messages {

inline const QString kCaption = QStringLiteral("VorlaGerenciador de Assinatura Digital");
inline const QString kStopped = QStringLiteral("Gerenciador Parado");
inline const QString kStarted = QStringLiteral("Gerenciador Iniciado");
inline const QString kParameter = QStringLiteral("Parâmetro");
inline const QString kValue = QStringLiteral("Valor");
inline const QString kPortRow = QStringLiteral("Porta");
inline const QString kCancel = QStringLiteral("Cancelar");
inline const QString kInitialHint = QStringLiteral("Gerenciador de Assinatura Digital");

// Action captions.
inline const QString kStartServer = QStringLiteral("Iniciar Monitoramento");
inline const QString kStopServer = QStringLiteral("Parar Monitoramento");
inline const QString kMinimizeForm = QStringLiteral("Minimizar a Tela");
inline const QString kShowForm = QStringLiteral("Exibir Gerenciador");
inline const QString kCloseForm = QStringLiteral("Fechar Gerenciador");
inline const QString kConfigServer = QStringLiteral("Alterar Configuração");

// The port dialog.
inline const QString kSelectParameter = QStringLiteral("Selecione o Parâmetro que deseja alterar.");
inline const QString kConfigCaption = QStringLiteral("Configuração do Gerenciador");
// kUpdateFailed CR <message>.
inline const QString kUpdateFailed =
    QStringLiteral("Erro ao Atualizar as Configurações do Gerenciador.");

// Journal record when the session has no notification area.
inline const QString kNoTray = QStringLiteral(
    "[Gerenciador] A área de notificação não está disponível: a janela minimizada fica na "
    "barra de tarefas em vez de se esconder.");

}  // namespace form_messages
