// assinador-nfsed: the signing server without a window. The container and the controller of
// the tray program, started from the INI file; SIGTERM and SIGINT stop the server and end the
// program, SIGHUP restarts the server on the port the file holds then.
//
// Signals are blocked in every thread from the start and taken one at a time by sigwait on the
// main thread, so the whole stop and restart run as ordinary code, never in a handler.

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/container/server_container.h"
#include "app/controller/controller_messages.h"
#include "app/controller/server_controller.h"
#include "app/options/program_options.h"
#include "build_info.h"
#include "platform/certstore/pin_source.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"
#include "platform/sys/executable.h"
#include "platform/xmldsig/library_scope.h"
#include "server/utils/certificate_validity.h"
#include "server/utils/logger.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr std::string_view kProgram = "assinador-nfsed";

constexpr char kHelpText[] =
    "Uso: assinador-nfsed [--config ARQUIVO] [--log ARQUIVO] [--pin-arquivo ARQUIVO]\n"
    "                     [--foreground]\n"
    "\n"
    "Servidor de assinatura de NFS-e, sem janela. Lê a porta do arquivo de configuração\n"
    "(seção CONFIGURACAO, chave PORTA), atende clientes nessa porta TCP e segue em primeiro\n"
    "plano até receber SIGTERM ou SIGINT, que param o servidor e encerram o programa.\n"
    "SIGHUP relê o arquivo de configuração e reinicia o servidor na porta que ele indicar.\n"
    "\n"
    "  --config ARQUIVO  arquivo de configuração (padrão: assinador-nfsed.ini ao lado do\n"
    "                    programa ou, se não houver, em ~/.config/assinador-nfse/)\n"
    "  --log ARQUIVO     arquivo de log (padrão: assinador-nfsed.log ao lado do programa,\n"
    "                    se o arquivo de configuração estiver lá; senão em\n"
    "                    ~/.local/state/assinador-nfse/)\n"
    "  --pin-arquivo ARQUIVO\n"
    "                    certificado em token (A3): PIN na primeira linha de ARQUIVO, que só o\n"
    "                    usuário pode ler (padrão: a credencial systemd assinador-nfse-pin,\n"
    "                    quando o serviço a tiver)\n"
    "  --foreground      executa em primeiro plano (o padrão; o único modo)\n"
    "  --help            mostra esta ajuda\n"
    "  --version         mostra a versão\n"
    "\n"
    "Se a nova porta de um SIGHUP não puder ser usada, o servidor continua na porta anterior.\n"
    "\n"
    "Outras chaves da seção CONFIGURACAO: CLIENTES (redes admitidas), ENDERECO (o endereço\n"
    "deste computador em que atender; padrão: todos) e USUARIO com SENHA_HASH (usuário e senha\n"
    "que os clientes devem dar; o hash vem de \"assinador-nfse-cli senha\").\n"
    "\n"
    "Saída: 0 ao parar por sinal; 1 quando o servidor não pode ser iniciado (arquivo de\n"
    "configuração ausente, porta ausente ou inválida, porta ocupada ou sem permissão); 2 para\n"
    "opções inválidas.\n";

// "--foreground" is the only mode: a service manager keeps the process in the foreground anyway.
constexpr std::string_view kDaemonFlags[] = {"--foreground"};
constexpr std::string_view kDaemonFiles[] = {"--pin-arquivo"};

void Report(std::FILE* AStream, TextView AMessage) { ReportMessage(AStream, kProgram, AMessage); }

void Report(std::FILE* AStream, std::string_view AUtf8) { Report(AStream, text::FromUtf8(AUtf8)); }

// Runs AStart inside the start guard: a failure is written to the journal as the failed start
// of the server and told on standard error. False when the server did not start.
template <class TStart>
bool StartGuarded(TServerController& AController, const TSC& AContainer, TStart AStart) {
  try {
    try {
      AStart();
    } catch (const std::exception& e) {
      const Text message = Text(controller_messages::kStartFailed) + CR + MessageOf(e);
      Report(stderr, message);
      AController.LogError(message);
      return false;
    }
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));  // the journal itself failed
    return false;
  }
  const TBindAddress& address = AContainer.dsTCP.BindAddress();
  Report(
      stdout,
      "servidor iniciado, atendendo na porta TCP " + std::to_string(AContainer.dsTCP.BoundPort()) +
          (address.Any() ? " (todas as interfaces)." : " do endereço " + address.ToString() + "."));
  return true;
}

// The store's certificates that have expired or expire soon, told to the journal once at start;
// a store that cannot be listed or a journal that cannot be written is only shown on standard
// error (the server runs regardless).
void LogExpiringCertificates(const TLogFunction& AJournal) {
  try {
    for (const Text& record : TExpiryWatch().Check(StoreCertificateDates(), std::time(nullptr)))
      AJournal(TLogLevel::llInfo, record);
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
  }
}

int Serve(const TProgramOptions& AOptions, const sigset_t& ASignals) {
  const TLogFunction journal = TLogger::JournalAt(
      AOptions.LogFile.empty() ? DefaultLogFile(sys::ExecutablePath()) : AOptions.LogFile);
  TSC container(journal);
  std::unique_ptr<TServerController> controller;
  try {
    controller = std::make_unique<TServerController>(container.dsSvr, container.dsTCP,
                                                     AOptions.ConfigFile, journal);
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
    return kFailure;
  }
  // The start sequence of the tray program without its window: the parameter refresh reloads
  // the configuration, then the server starts (which reloads it again).
  if (!StartGuarded(*controller, container, [&] {
        // What the file holds by mistake is told here too, not only in the journal.
        for (const Text& warning : controller->getConfigServer()->getWarnings())
          Report(stderr, warning);
        controller->StartServer();
      }))
    return kFailure;
  LogExpiringCertificates(journal);

  for (;;) {
    int signal = 0;
    if (::sigwait(&ASignals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      // A hand edit of the INI file takes effect here. A port that cannot be used leaves the
      // server on the old one (the journal says so); a server that is no longer running is of
      // no use to anyone: the program ends so the service manager sees it.
      if (!StartGuarded(*controller, container, [&] { controller->StartServer(); }) &&
          controller->StatusServer() != TStatusDSServer::sdsStarted)
        return kFailure;
      continue;
    }
    try {
      controller->StopServer();
    } catch (const std::exception& e) {
      Report(stderr, MessageOf(e));
      return kFailure;
    }
    Report(stdout, "servidor parado.");
    return 0;
  }
}

// Each connected client holds a descriptor for as long as it stays. The soft limit that a
// desktop session or a service manager hands out (often 1024, kept low for select(), which
// this program never uses) would refuse clients long before the hard limit is near.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Client buffers past this size are mapped on their own and given back to the system when
  // freed: the connection threads' heaps would otherwise keep what a burst of large requests
  // took, and the resident memory would outgrow the clients' memory budget.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Setting the mapping threshold also fixes the trim threshold at its 128 KiB default: each
  // call's buffers would be handed back (madvise) and faulted in again, page by page, at the
  // next call. A MiB kept at the top of each thread's heap cost far less than that.
  ::mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
  // Before any thread exists, so that every thread inherits the mask and only sigwait below
  // ever takes these signals.
  sigset_t signals;
  ::sigemptyset(&signals);
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&signals, s);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A closed standard output must not end the server.
  ::signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  std::optional<TXmlLibraryScope> libraries;  // first built, last released
  try {
    libraries.emplace();
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
    return kFailure;
  }
  std::setlocale(LC_ALL, "");

  TProgramOptions options;
  try {
    options = ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), kDaemonFiles,
                                  kDaemonFlags);
  } catch (const TUsageError& e) {
    Report(stderr, std::string(e.what()) + "\nUse \"assinador-nfsed --help\" para ver as opções.");
    return kUsage;
  }
  if (options.Help) {
    std::fputs(text::ToLocale(text::FromUtf8(kHelpText)).c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("%s %s\n", kProgram.data(), build_info::kProjectVersion);
    return 0;
  }
  // Failures the transport cannot hand back to anyone: the service manager's log, not the
  // journal, which keeps the records of the configuration, the start and the service.
  diagnostics::SetReportHook(
      [](TextView ASource, TextView AMessage, diagnostics::TReportKind AKind) {
        Report(stderr, DiagnosticForPeople(ASource, AMessage, AKind));
      });
  // A token's PIN: the file given, else the service's credential; without either, a token
  // that needs a PIN is refused with a reason.
  std::string pinFile = certstore::PinCredentialPath();
  if (const auto given = options.Files.find("--pin-arquivo"); given != options.Files.end())
    pinFile = given->second.string();
  if (!pinFile.empty()) {
    auto source = std::make_shared<certstore::TPinFileSource>(pinFile);
    // A PIN file that cannot be used stops the start with the reason, here, rather than the
    // first token signature telling a remote client this machine's file path.
    if (const Text problem = source->Problem(); !problem.empty()) {
      Report(stderr, u"O servidor não foi iniciado: " + problem + u".");
      return kFailure;
    }
    certstore::SetPinSource(std::move(source));
  }
  try {
    return Serve(options, signals);
  } catch (const std::exception& e) {
    Report(stderr, MessageOf(e));
    return kFailure;
  }
}
