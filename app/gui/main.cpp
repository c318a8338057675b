// assinador-nfse: the signing server with its window and tray icon. Starts the server on the
// port of its INI file and lives in the notification area; the window shows whether the server
// runs and lets the operator start and stop it and change the port. Closing the window (or
// SIGTERM, SIGINT, SIGHUP) stops the server and ends the program. A second start shows the
// running program's window instead.

#include <malloc.h>
#include <signal.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <clocale>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/container/server_container.h"
#include "app/gui/app_icon.h"
#include "app/gui/main_form.h"
#include "app/gui/pin_dialog.h"
#include "app/gui/single_instance.h"
#include "app/gui/termination_signals.h"
#include "app/options/program_options.h"
#include "build_info.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "platform/gui/desktop.h"
#include "platform/sys/executable.h"
#include "platform/xmldsig/library_scope.h"
#include "server/utils/logger.h"

// The test build of the program (assinador-nfse-captura) also pictures its window for the
// documentation; the shipped program has no such option.
#ifdef ASSINADOR_GUI_CAPTURE
#include "app/gui/capture.h"
#endif

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr std::string_view kProgram = "assinador-nfse";
#ifdef ASSINADOR_GUI_CAPTURE
// Pictures of the window for the documentation (tools/screenshot-gui.sh).
constexpr std::string_view kCaptureOption = "--captura";
constexpr std::string_view kFileOptions[] = {kCaptureOption};
#else
constexpr std::span<const std::string_view> kFileOptions;
#endif

constexpr char kHelpText[] =
    "Uso: assinador-nfse [--config ARQUIVO] [--log ARQUIVO]\n"
    "\n"
    "Gerenciador de assinatura de NFS-e na área de notificação. Lê a porta do arquivo de\n"
    "configuração (seção CONFIGURACAO, chave PORTA), inicia o servidor nessa porta TCP e se\n"
    "esconde na área de notificação; a janela mostra se o servidor está em execução e permite\n"
    "pará-lo, iniciá-lo e trocar a porta. Fechar a janela para o servidor e encerra o programa.\n"
    "Uma segunda execução apenas mostra a janela do programa que já está em execução.\n"
    "\n"
    "  --config ARQUIVO  arquivo de configuração (padrão: assinador-nfse.ini ao lado do\n"
    "                    programa ou, se não houver, em ~/.config/assinador-nfse/)\n"
    "  --log ARQUIVO     arquivo de log (padrão: assinador-nfse.log ao lado do programa,\n"
    "                    se o arquivo de configuração estiver lá; senão em\n"
    "                    ~/.local/state/assinador-nfse/)\n"
    "  --help            mostra esta ajuda\n"
    "  --version         mostra a versão\n";

void Report(TextView AMessage) { ReportMessage(stderr, kProgram, AMessage); }
void Report(std::string_view AUtf8) { Report(text::FromUtf8(AUtf8)); }

int Run(QApplication& AApplication, const TProgramOptions& AOptions) {
  // The journal records of failures nobody else can report (a connection thread's, a
  // destructor's).
  const std::filesystem::path logFile =
      AOptions.LogFile.empty() ? DefaultLogFile(sys::ExecutablePath()) : AOptions.LogFile;
  diagnostics::SetReportHook(TLogger::DiagnosticsHook(logFile, sys::ExecutablePath()));

  TSingleInstance instance;
  try {
    if (!instance.Acquire()) {
      if (instance.AskRunningToShow()) return 0;
      Report("o gerenciador já está em execução, mas não atendeu ao pedido de mostrar a janela.");
      return kFailure;
    }
  } catch (const std::exception& e) {
    // Without the guard a second server may start; the port then tells the operator.
    Report(MessageOf(e));
  }

  const TLogFunction journal = TLogger::JournalAt(logFile);
  // A token's PIN is asked in a dialog; set before the server starts, released after it stops.
  const auto pinDialog = std::make_shared<TPinDialogSource>();
  certstore::SetPinSource(pinDialog);
  struct TPinSourceRelease {
    TPinDialogSource& Source;
    ~TPinSourceRelease() {
      Source.Close();
      certstore::SetPinSource(nullptr);
    }
  };
  TSC container(journal);
  TQtDesktop desktop;
#ifdef ASSINADOR_GUI_CAPTURE
  // Before the window: a failed start holds its creation under the error box.
  std::optional<TCapture> capture;
  if (const auto folder = AOptions.Files.find(kCaptureOption); folder != AOptions.Files.end())
    capture.emplace(QString::fromStdString(folder->second.string()));
#endif
  // Destroyed before the container: closing stops the server first.
  TfrmMainServer form(container, desktop, AOptions.ConfigFile, journal);
  // Runs before the form's destruction stops the server: no connection waits for a dialog.
  const TPinSourceRelease pinRelease{*pinDialog};
  QObject::connect(&form, &TfrmMainServer::Closed, &AApplication, &QApplication::quit);
  QObject::connect(&instance, &TSingleInstance::ShowRequested, &form,
                   &TfrmMainServer::actShowFormExecute);
  // The end of the session, a service manager or Ctrl+C close the window as the operator would.
  TTerminationSignals termination;
  QObject::connect(&termination, &TTerminationSignals::Received, &form, &QWidget::close);
  form.show();
#ifdef ASSINADOR_GUI_CAPTURE
  if (capture) capture->SetForm(form);
#endif
  return AApplication.exec();
}

}  // namespace

int main(int argc, char** argv) {
  // Client buffers past this size are mapped on their own and given back to the system when
  // freed, as in the server without a window: its resident memory stays within the clients'
  // memory budget after a burst of large requests.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // As in the server without a window: a MiB stays at the top of each thread's heap, so that
  // each call's buffers are not handed back and faulted in again at the next call.
  ::mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
  // Before any thread exists, so that every thread inherits the mask and only the GUI thread
  // ever takes these signals.
  TTerminationSignals::Block();
  // A client that goes away mid-reply must not end the program.
  ::signal(SIGPIPE, SIG_IGN);

  std::optional<TXmlLibraryScope> libraries;  // first built, last released
  try {
    libraries.emplace();
  } catch (const std::exception& e) {
    Report(MessageOf(e));
    return kFailure;
  }

  // The help and the version need no display.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      std::setlocale(LC_ALL, "");
      std::fputs(text::ToLocale(text::FromUtf8(kHelpText)).c_str(), stdout);
      return 0;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::printf("%s %s\n", kProgram.data(), build_info::kProjectVersion);
      return 0;
    }
  }
  QApplication application(argc, argv);  // takes its own options (-platform ...) out of argv
  std::setlocale(LC_ALL, "");
  QApplication::setApplicationName(QString::fromLatin1(kProgram));
  // The title of its message boxes: the product's name, not the program file's.
  QApplication::setApplicationDisplayName(QStringLiteral("Assinador NFS-e"));
  QApplication::setApplicationVersion(QString::fromLatin1(build_info::kProjectVersion));
  QApplication::setWindowIcon(AppIcon());
  QApplication::setDesktopFileName(QStringLiteral("assinador-nfse"));
  // Hidden in the tray, the window is no longer a visible window: a message box closed then
  // must not end the program. Closing the window does (TfrmMainServer::Closed).
  QApplication::setQuitOnLastWindowClosed(false);
  // The standard dialogs' buttons in the user's language, where Qt's translations are installed.
  QTranslator qtTexts;
  if (qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTexts);

  TProgramOptions options;
  try {
    options = ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), kFileOptions);
  } catch (const TUsageError& e) {
    Report(std::string(e.what()) + "\nUse \"assinador-nfse --help\" para ver as opções.");
    return kUsage;
  }
  try {
    return Run(application, options);
  } catch (const std::exception& e) {
    Report(MessageOf(e));
    return kFailure;
  }
}
