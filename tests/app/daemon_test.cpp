// assinador-nfsed as a service manager runs it: started from an INI file, stopped and restarted
// by signals, its journal and exit status checked.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/password_hash.h"
#include "platform/text.h"
#include "server/service/sm_sign_service.h"
#include "tests/app/daemon_process.h"
#include "tests/support/free_port.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"
#include "tests/transport/tcp/tcp_test_support.h"
#include "transport/client/dbx_client.h"

namespace {

const std::string kStartedLine = "assinador-nfsed: servidor iniciado, atendendo na porta TCP ";
const std::string kReload =
    "[Controlador do Serviço] Recarga da Configuração do Assinador.\nPorta: ";
const std::string kStartFailed = "[Serviço] Erro na inicialização do servidor.\n";
const std::string kCouldNotBind = "Could not bind socket. Address and port are already in use.";

// What a port held by another program gives the daemon: this test process holds it, and the
// daemon names it.
std::string InUse(std::uint16_t APort) {
  std::string name;
  std::getline(std::ifstream("/proc/self/comm"), name);
  return "[Serviço] A porta " + std::to_string(APort) +
         " já está em uso por outro programa deste computador (" + name + ", processo " +
         std::to_string(::getpid()) +
         "). Feche esse programa ou escolha outra PORTA no arquivo de configuração (ss -ltnp "
         "mostra que programa usa cada porta).\nDetalhe: " +
         kCouldNotBind;
}

std::string Ini(const std::string& APort) { return "[CONFIGURACAO]\r\nPORTA=" + APort + "\r\n"; }

struct TRecord {
  std::string Level;    // as the header carries it
  std::string Message;  // its line breaks, whatever form the journal gave them, as LF
  bool operator==(const TRecord&) const = default;
};

std::ostream& operator<<(std::ostream& AOut, const TRecord& ARecord) {
  return AOut << "{" << ARecord.Level << ": " << ARecord.Message << "}";
}

TRecord Info(const std::string& AMessage) { return {"INFORMAÇÃO", AMessage}; }
TRecord Error(const std::string& AMessage) { return {"   ERRO   ", AMessage}; }

// The records of a journal, read by their six-line layout.
std::vector<TRecord> Records(std::string AJournal) {
  std::string text;
  for (std::size_t i = 0; i < AJournal.size(); ++i) {
    if (AJournal[i] == '\r') {
      text += '\n';
      if (i + 1 < AJournal.size() && AJournal[i + 1] == '\n') ++i;
    } else {
      text += AJournal[i];
    }
  }
  std::vector<TRecord> records;
  const std::string head = "### Gerenciador de Assinatura Digital ### ";
  for (auto at = text.find(head); at != std::string::npos; at = text.find(head, at)) {
    at += head.size();
    TRecord record;
    record.Level = text.substr(at, text.find(" ###\n", at) - at);
    const auto message = text.find("\n \n", at) + 3;
    const auto end = text.find("\n### FIM ###\n", message);
    record.Message = text.substr(message, end - message);
    records.push_back(record);
    at = end;
  }
  return records;
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override { WriteIni(Ini(std::to_string(FPort))); }
  void WriteIni(const std::string& ABytes) { TScratchDirectory::WriteBytes(FIni, ABytes); }

  std::unique_ptr<TDaemonProcess> Start(std::vector<std::string> AMore = {}) {
    std::vector<std::string> arguments = {"--config", FIni.string(), "--log", FLog.string()};
    arguments.insert(arguments.end(), AMore.begin(), AMore.end());
    return std::make_unique<TDaemonProcess>(arguments, FDir / "stderr.txt");
  }
  // The port of the next "listening" line; 0 when the line is not that. ALine, when given,
  // receives the line.
  static std::uint16_t ListeningPort(TDaemonProcess& ADaemon, std::string* ALine = nullptr) {
    const auto line = ADaemon.ReadLine();
    if (ALine && line) *ALine = *line;
    EXPECT_TRUE(line && line->starts_with(kStartedLine)) << (line ? *line : "(no line)") << "\n"
                                                         << ADaemon.Errors();
    if (!line || !line->starts_with(kStartedLine)) return 0;
    return static_cast<std::uint16_t>(std::stoi(line->substr(kStartedLine.size())));
  }
  std::vector<TRecord> Journal() const { return Records(TScratchDirectory::ReadBytes(FLog)); }

  // The journal's records once it has ACount of them (a signal's work is done), or as it is
  // after the bound.
  std::vector<TRecord> JournalOf(std::size_t ACount) const {
    const auto deadline = std::chrono::steady_clock::now() + TDaemonProcess::kWait;
    std::vector<TRecord> records = Journal();
    while (records.size() < ACount && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      records = Journal();
    }
    return records;
  }

  TScratchDirectory FDir;
  std::filesystem::path FIni = FDir / "assinador-nfsed.ini";
  std::filesystem::path FLog = FDir / "assinador-nfsed.log";
  std::uint16_t FPort = FreePort();  // the INI file's port unless a test writes another
};

std::string InvalidPort(const std::filesystem::path& AIni, const std::string& AFound) {
  return "[Configuração do Servidor] PORTA ausente ou inválida em \"" + AIni.string() +
         "\": " + AFound +
         ". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 (por exemplo " +
         "PORTA=8080).";
}

// Whether the server closed the connection within AMs milliseconds (it sends nothing unasked).
bool ClosedWithin(int AFd, int AMs) {
  pollfd polled{AFd, POLLIN, 0};
  if (::poll(&polled, 1, AMs) <= 0) return false;
  char byte;
  return ::recv(AFd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// Answers the filter negotiation: the server's list names the compression filter and its
// threshold, so the connection went all the way to the daemon's protocol handler.
void ExpectNegotiation(int AClient) {
  ASSERT_TRUE(SendAll(AClient, std::string(5, '\x05')));
  const std::string header = tcptest::RecvExactly(AClient, 5);
  ASSERT_EQ(header.size(), 5u);
  const auto length = static_cast<std::size_t>(static_cast<unsigned char>(header[3]) << 8 |
                                               static_cast<unsigned char>(header[4]));
  const std::string body = tcptest::RecvExactly(AClient, length);
  EXPECT_NE(body.find(R"("CompressMoreThan":"1024")"), std::string::npos) << body;
}

TEST_F(DaemonTest, ServesThePortOfTheIniAndStopsOnTerminationSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(FLog);
    const auto daemon = Start({"--foreground"});
    const std::uint16_t port = ListeningPort(*daemon);
    ASSERT_EQ(port, FPort);
    UniqueFd first = tcptest::Connect(port), second = tcptest::Connect(port);
    ASSERT_TRUE(first && second);
    ExpectNegotiation(first.get());

    daemon->Signal(signal);
    EXPECT_EQ(daemon->Wait(), 0) << daemon->Errors();
    EXPECT_EQ(daemon->UnreadOutput(), "assinador-nfsed: servidor parado.\n");
    EXPECT_TRUE(tcptest::ClosedByServer(first.get()));
    EXPECT_TRUE(tcptest::ClosedByServer(second.get()));
    EXPECT_FALSE(tcptest::Connect(port)) << "nothing listens any more";
    // The refresh and the start each reload the configuration; stopping writes nothing.
    const std::string reload = kReload + std::to_string(FPort);
    EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(reload), Info(reload)}));
    EXPECT_EQ(daemon->Errors(), "");
  }
}

// What an integrator's application does against the daemon: the certificates of the user's
// store, a signed document that an independent verifier accepts, and a service failure as a
// result text, all in one session, with nothing but the start records and the refused
// signature in the journal. A termination then ends the sessions still open.
TEST_F(DaemonTest, SignsOverTheWireAndTerminationEndsOpenSessions) {
  test_certificates::TTestStore store;  // the daemon inherits ASSINADOR_NFSE_STORE
  std::string serial;
  store.Add(test_certificates::Certificate("empresa.pem"), &serial);
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/nfse_sample.xml", std::ios::binary);
  const Text sample = text::FromUtf8(std::string(std::istreambuf_iterator<char>(in), {}));

  const auto daemon = Start();
  const std::uint16_t port = ListeningPort(*daemon);
  ASSERT_NE(port, 0);
  TDBXClient client("127.0.0.1", port);
  client.Open();
  client.Connect();
  EXPECT_NE(client.CallTextMethod(u"TSMSignService.getListCertificate", {})
                .find(u"=serial=" + text::FromAscii(serial)),
            Text::npos);
  const Text signedXml =
      client.CallTextMethod(u"TSMSignService.SignDocument", {sample, text::FromAscii(serial)});
  EXPECT_EQ(signature_check::VerifyWithXmlsec1(signedXml), "") << text::ToUtf8(signedXml);
  EXPECT_TRUE(client.CallTextMethod(u"TSMSignService.SignDocument", {sample, u"FFEE"})
                  .starts_with(u"[SignerNFSEDocumentRemoteAdapter]"));
  // A second client that stopped halfway through the filter negotiation.
  UniqueFd halfway = tcptest::Connect(port);
  ASSERT_TRUE(halfway);
  ASSERT_TRUE(SendAll(halfway.get(), std::string(3, '\x05')));

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Errors();
  EXPECT_TRUE(tcptest::ClosedByServer(halfway.get()));
  EXPECT_THROW(client.CallTextMethod(u"DSAdmin.GetPlatformName", {}), TDBXError);
  EXPECT_FALSE(client.IsOpen());
  const std::string reload = kReload + std::to_string(FPort);
  // The refused signature is recorded with the client's address; the document is not.
  EXPECT_EQ(Journal(), (std::vector<TRecord>{
                           Info(reload), Info(reload),
                           Error("[Negócio] Assinatura recusada ao cliente 127.0.0.1 (certificado "
                                 "FFEE).\n[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do "
                                 "Documento.\n[Certificado] Erro ao Obter o Certificado!\n"
                                 "Certificado Digital não encontrado!")}));
  EXPECT_EQ(daemon->Errors(), "");
}

// A client's template outside the signing profile (an XPointer narrowing the whole-document
// reference, whose evaluation would pin a core) is answered at once with the reason.
TEST_F(DaemonTest, ATemplateOutsideTheProfileIsRefusedWithItsReason) {
  test_certificates::TTestStore store;
  std::string serial;
  store.Add(test_certificates::Certificate("empresa.pem"), &serial);
  std::string body;
  for (int i = 0; i < 300; ++i) body += "<Item><Valor>" + std::to_string(i) + "</Valor></Item>";
  const std::string costly = "//*[count(//*[count(//*[count(//*)&gt;0])&gt;0])&gt;0]";
  const Text document = text::FromUtf8(
      "<nfse><Discriminacao>" + body +
      "</Discriminacao><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
      "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
      "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
      "<Reference URI=\"\"><Transforms>"
      "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
      "<Transform Algorithm=\"http://www.w3.org/2001/04/xmldsig-more/xptr\"><XPointer "
      "xmlns=\"http://www.w3.org/2001/04/xmldsig-more/xptr\">xpointer(" +
      costly +
      ")</XPointer></Transform></Transforms>"
      "<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><DigestValue/>"
      "</Reference></SignedInfo><SignatureValue/><KeyInfo/></Signature></nfse>");

  const auto daemon = Start();
  const std::uint16_t port = ListeningPort(*daemon);
  ASSERT_NE(port, 0);
  TDBXClient client("127.0.0.1", port);
  client.Open();
  client.Connect();
  const Text answer =
      client.CallTextMethod(u"TSMSignService.SignDocument", {document, text::FromAscii(serial)});
  EXPECT_EQ(SignOutcomeOf(answer), TSignOutcome::ErrorText) << text::ToUtf8(answer);
  EXPECT_NE(answer.find(u"O modelo de assinatura do documento não é aceito: transformação não "
                        u"aceita: XPointer"),
            Text::npos)
      << text::ToUtf8(answer);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Errors();
}

// An ABRASF batch (each RPS and the batch signed) sent by "remoto assinar" to the daemon comes
// back with every signature made, and "verificar" and xmlsec1 accept each of them.
TEST_F(DaemonTest, SignsEverySignatureOfABatchThroughTheCommandLineClient) {
  test_certificates::TTestStore store;  // the daemon inherits ASSINADOR_NFSE_STORE
  std::string serial;
  store.Add(test_certificates::Certificate("empresa.pem"), &serial);
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/nfse_lote_abrasf.xml", std::ios::binary);
  TScratchDirectory::WriteBytes(FDir / "lote.xml",
                                std::string(std::istreambuf_iterator<char>(in), {}));
  const auto daemon = Start();
  const std::uint16_t port = ListeningPort(*daemon);
  ASSERT_NE(port, 0);
  const auto cli = [&](const std::string& AArguments) {
    const std::string command = "cd '" + FDir.Path().string() + "' && LC_ALL=C.UTF-8 '" +
                                ASSINADOR_BINARY_DIR "/assinador-nfse-cli' " + AArguments +
                                " >saida.txt 2>&1";
    const int status = std::system(command.c_str());
    return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                     TScratchDirectory::ReadBytes(FDir / "saida.txt")};
  };
  const auto [signedStatus, signedOutput] =
      cli("remoto assinar lote.xml --serie " + serial +
          " --servidor 127.0.0.1:" + std::to_string(port) + " --saida assinado.xml");
  ASSERT_EQ(signedStatus, 0) << signedOutput;
  const auto [verifyStatus, verifyOutput] =
      cli("verificar assinado.xml --ac '" + test_certificates::CaPemPath().string() + "'");
  EXPECT_EQ(verifyStatus, 0) << verifyOutput;
  const Text signedXml = text::FromUtf8(TScratchDirectory::ReadBytes(FDir / "assinado.xml"));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(signature_check::VerifyWithXmlsec1(
                  signedXml, signature_check::TVerifyOptions()
                                 .Nth(i)
                                 .IdAttribute("Id",
                                              "http://www.abrasf.org.br/nfse.xsd:"
                                              "InfDeclaracaoPrestacaoServico")
                                 .IdAttribute("Id", "http://www.abrasf.org.br/nfse.xsd:LoteRps")),
              "");
  }
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Errors();
}

TEST_F(DaemonTest, HangUpRestartsTheServerOnThePortTheIniHoldsNow) {
  const auto daemon = Start();
  const std::uint16_t first = ListeningPort(*daemon);
  ASSERT_NE(first, 0);
  UniqueFd client = tcptest::Connect(first);
  ASSERT_TRUE(client);

  const std::uint16_t port = FreePort();
  WriteIni(Ini(std::to_string(port)));
  daemon->Signal(SIGHUP);
  EXPECT_EQ(ListeningPort(*daemon), port);
  EXPECT_TRUE(tcptest::ClosedByServer(client.get()));
  EXPECT_FALSE(tcptest::Connect(first));
  UniqueFd again = tcptest::Connect(port);
  ASSERT_TRUE(again);
  ExpectNegotiation(again.get());
  const std::string reload = kReload + std::to_string(FPort);
  EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(reload), Info(reload),
                                             Info(kReload + std::to_string(port))}));

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

TEST_F(DaemonTest, HangUpOntoAPortThatCannotBeUsedKeepsServingTheOldOne) {
  const TTakenPort taken;
  struct Case {
    const char* name;
    std::string file;
    int reloaded;
    std::string reason;
  };
  const Case kCases[] = {
      {"taken", Ini(std::to_string(taken.Port())), taken.Port(), InUse(taken.Port())},
      {"invalid", Ini("70000"), 70000, InvalidPort(FIni, "\"70000\"")},
  };
  const auto daemon = Start();
  ASSERT_EQ(ListeningPort(*daemon), FPort);
  UniqueFd client = tcptest::Connect(FPort);
  ASSERT_TRUE(client);
  const std::string reload = kReload + std::to_string(FPort);
  std::vector<TRecord> expected = {Info(reload), Info(reload)};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.file);
    daemon->Signal(SIGHUP);
    const std::string kept =
        "\nO servidor continua atendendo na porta " + std::to_string(FPort) + ".";
    expected.push_back(Info(kReload + std::to_string(c.reloaded)));
    expected.push_back(Error(kStartFailed + c.reason + kept));
    EXPECT_EQ(JournalOf(expected.size()), expected);
    EXPECT_NE(daemon->Errors().find(c.reason + kept), std::string::npos) << daemon->Errors();
    EXPECT_FALSE(ClosedWithin(client.get(), 50)) << "the connection stays";
    UniqueFd again = tcptest::Connect(FPort);
    ASSERT_TRUE(again);
    ExpectNegotiation(again.get());
  }
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

// What a hand-written INI file gives at the start.
TEST_F(DaemonTest, IniFileCases) {
  const std::string port = std::to_string(FPort);
  struct Case {
    const char* name;
    std::string file;
    std::string found;  // as the start failure quotes it; empty: the server starts
    int reloaded = 0;
    std::string warning = {};  // told at the start, and in the reload records
  };
  const Case kCases[] = {
      {"missing key, a typo of it", "[CONFIGURACAO]\r\nPORT=" + port + "\r\n", "chave ausente", 0,
       "[Configuração do Servidor] Aviso: chave desconhecida PORT na linha 2 da seção "
       "[CONFIGURACAO], que não vale (as chaves são PORTA, CLIENTES, ENDERECO, USUARIO, "
       "SENHA_HASH e MEMORIA_CLIENTES)."},
      {"text", Ini("oito mil"), "\"oito mil\""},
      {"zero", Ini("0"), "\"0\""},
      {"above 65535", Ini("70000"), "\"70000\"", 70000},
      {"byte-order mark", "\xEF\xBB\xBF" + Ini(port), ""},
      {"section in other case", "[Configuracao]\r\nporta=" + port + "\r\n", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(FLog);
    WriteIni(c.file);
    const auto daemon = Start();
    if (c.found.empty()) {
      EXPECT_EQ(ListeningPort(*daemon), FPort);
      daemon->Signal(SIGTERM);
      EXPECT_EQ(daemon->Wait(), 0);
      EXPECT_EQ(TScratchDirectory::ReadBytes(FIni), c.file) << "left as it was";
      continue;
    }
    EXPECT_EQ(daemon->Wait(), 1);
    const std::string message = kStartFailed + InvalidPort(FIni, c.found);
    const std::string reload =
        kReload + std::to_string(c.reloaded) + (c.warning.empty() ? "" : "\n" + c.warning);
    EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(reload), Info(reload), Error(message)}));
    EXPECT_EQ(daemon->Errors(), (c.warning.empty() ? "" : "assinador-nfsed: " + c.warning + "\n") +
                                    "assinador-nfsed: " + message + "\n");
    EXPECT_EQ(daemon->UnreadOutput(), "");
  }
}

TEST_F(DaemonTest, APortHeldByAnotherSigningServerOfThisUserSaysSo) {
  const auto first = Start();
  ASSERT_EQ(ListeningPort(*first), FPort);
  TDaemonProcess second({"--config", FIni.string(), "--log", (FDir / "segundo.log").string()},
                        FDir / "stderr-segundo.txt");
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_EQ(second.Errors(),
            "assinador-nfsed: " + kStartFailed + "[Serviço] A porta " + std::to_string(FPort) +
                " já está em uso por outro servidor de assinatura deste usuário (assinador-nfsed, "
                "processo " +
                std::to_string(first->Pid()) +
                "). Use apenas um deles (o gerenciador na área de notificação ou o serviço "
                "assinador-nfsed), ou dê a cada um a sua PORTA.\n");
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(), 0);
}

TEST_F(DaemonTest, ALowPortWithoutTheRightToBindItSaysHowToGiveIt) {
  // Root holds the right: the daemon runs without it.
  std::vector<std::string> wrapper;
  if (::getuid() == 0) wrapper = {"setpriv", "--inh-caps=-all", "--bounding-set=-net_bind_service"};
  const std::uint16_t port = 211;
  WriteIni(Ini(std::to_string(port)));
  const auto daemon = std::make_unique<TDaemonProcess>(
      std::vector<std::string>{"--config", FIni.string(), "--log", FLog.string()},
      FDir / "stderr.txt", std::vector<std::string>{}, wrapper);
  const auto status = daemon->Wait();
  if (status == 0 || daemon->UnreadOutput().starts_with(kStartedLine) ||
      daemon->Errors().find("setpriv") != std::string::npos)
    GTEST_SKIP() << "the right to bind low ports cannot be taken away here: " << daemon->Errors();
  if (daemon->Errors().find(kCouldNotBind) != std::string::npos)
    GTEST_SKIP() << "port 211 is in use here";
  EXPECT_EQ(status, 1);
  const std::string program =
      std::filesystem::canonical(ASSINADOR_BINARY_DIR "/assinador-nfsed").string();
  const std::string message =
      kStartFailed +
      "[Serviço] Sem permissão para atender na porta 211: as portas abaixo de 1024 exigem um "
      "direito que o programa não tem. Dê esse direito ao programa (sudo setcap "
      "cap_net_bind_service=+ep " +
      program +
      ") ou libere as portas baixas para todos os programas do computador (sudo sysctl "
      "net.ipv4.ip_unprivileged_port_start=211), ou escolha uma porta a partir de 1024.";
  EXPECT_EQ(daemon->Errors(), "assinador-nfsed: " + message + "\n");
  EXPECT_EQ(Journal().back(), Error(message));
}

// Installed in a folder of the system, without --config and --log: the user's folders.
TEST_F(DaemonTest, WithoutFileOptionsTheUsersFoldersAreUsed) {
  const std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + (FDir / "config").string(),
                                                "XDG_STATE_HOME=" + (FDir / "state").string()};
  const std::filesystem::path beside =
      std::filesystem::canonical(ASSINADOR_BINARY_DIR "/assinador-nfsed").string() + ".ini";
  ASSERT_FALSE(std::filesystem::exists(beside));
  const std::filesystem::path ini = FDir / "config" / "assinador-nfse" / "assinador-nfsed.ini";
  {
    TDaemonProcess daemon({}, FDir / "stderr.txt", environment);
    EXPECT_EQ(daemon.Wait(), 1);
    EXPECT_EQ(daemon.Errors(),
              "assinador-nfsed: [Configuração do Servidor] O Arquivo de configuração não foi "
              "encontrado em \"" +
                  beside.string() + "\" nem em \"" + ini.string() + "\"!\n");
    EXPECT_FALSE(std::filesystem::exists(ini)) << "never made up";
  }
  std::filesystem::create_directories(ini.parent_path());
  TScratchDirectory::WriteBytes(ini, Ini(std::to_string(FPort)));
  TDaemonProcess daemon({}, FDir / "stderr.txt", environment);
  EXPECT_EQ(ListeningPort(daemon), FPort);
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0);
  const std::string reload = kReload + std::to_string(FPort);
  EXPECT_EQ(Records(TScratchDirectory::ReadBytes(FDir / "state" / "assinador-nfse" /
                                                 "assinador-nfsed.log")),
            (std::vector<TRecord>{Info(reload), Info(reload)}));
}

TEST_F(DaemonTest, MissingIniEndsWithTheConfigurationMessageAndStartsNothing) {
  std::filesystem::remove(FIni);
  const auto daemon = Start();
  EXPECT_EQ(daemon->Wait(), 1);
  EXPECT_EQ(daemon->Errors(),
            "assinador-nfsed: [Configuração do Servidor] O Arquivo de "
            "configuração \"" +
                FIni.string() + "\" não foi encontrado!\n");
  EXPECT_EQ(daemon->UnreadOutput(), "");
  EXPECT_FALSE(std::filesystem::exists(FLog)) << "nothing is logged";
  EXPECT_FALSE(std::filesystem::exists(FIni)) << "nor the configuration made up";
}

// A PIN file that cannot be used stops the start with the reason: the first token signature
// would otherwise tell a remote client this machine's file path.
TEST_F(DaemonTest, APinFileThatCannotBeUsedStopsTheStart) {
  const std::filesystem::path pin = FDir / "pin";
  struct Case {
    const char* name;
    const char* content;  // null: no file
    mode_t mode;
    std::string reason;
  };
  const Case kCases[] = {
      {"missing", nullptr, 0600,
       "não foi possível ler o arquivo de PIN \"" + pin.string() + "\": "},
      {"readable by others", "123456\n", 0644,
       "O arquivo de PIN \"" + pin.string() + "\" pode ser lido por outros usuários"},
      {"empty", "", 0600, "o arquivo de PIN \"" + pin.string() + "\" está vazio"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(pin);
    if (c.content) {
      TScratchDirectory::WriteBytes(pin, c.content);
      ::chmod(pin.c_str(), c.mode);
    }
    const auto daemon = Start({"--pin-arquivo", pin.string()});
    EXPECT_EQ(daemon->Wait(), 1);
    EXPECT_EQ(
        daemon->Errors().rfind("assinador-nfsed: O servidor não foi iniciado: " + c.reason, 0), 0u)
        << daemon->Errors();
    EXPECT_EQ(daemon->UnreadOutput(), "");
  }
}

TEST_F(DaemonTest, TakenPortIsLoggedAndEndsWithAFailureStatus) {
  const TTakenPort taken;
  WriteIni(Ini(std::to_string(taken.Port())));
  const auto daemon = Start();
  EXPECT_EQ(daemon->Wait(), 1);
  const std::string port = std::to_string(taken.Port());
  EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(kReload + port), Info(kReload + port),
                                             Error(kStartFailed + InUse(taken.Port()))}));
  EXPECT_EQ(daemon->Errors(), "assinador-nfsed: [Serviço] Erro na inicialização do servidor.\n" +
                                  InUse(taken.Port()) + "\n");
  EXPECT_EQ(daemon->UnreadOutput(), "");
}

TEST_F(DaemonTest, CommandLine) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string errorStart;   // of standard error
    std::string outputStart;  // of standard output
  };
  const Case kCases[] = {
      {{"--help"}, 0, "", "Uso: assinador-nfsed"},
      {{"--version"}, 0, "", "assinador-nfsed 1."},
      {{"--porta", "1"}, 2, "assinador-nfsed: opção desconhecida: --porta\n", ""},
      {{"--config"}, 2, "assinador-nfsed: a opção --config exige um nome de arquivo.\n", ""},
      {{"--log="}, 2, "assinador-nfsed: a opção --log exige um nome de arquivo.\n", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.arguments[0]);
    TDaemonProcess daemon(c.arguments, FDir / "stderr.txt");
    EXPECT_EQ(daemon.Wait(), c.status);
    EXPECT_TRUE(daemon.Errors().starts_with(c.errorStart)) << daemon.Errors();
    EXPECT_TRUE(daemon.UnreadOutput().starts_with(c.outputStart));
  }
}

TEST_F(DaemonTest, RelativeFileNamesAreReportedInFull) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(FDir.Path());
  TDaemonProcess daemon({"--config=ausente.ini"}, FDir / "stderr.txt",
                        {"XDG_STATE_HOME=" + (FDir / "state").string()});
  std::filesystem::current_path(before);
  EXPECT_EQ(daemon.Wait(), 1);
  const std::string quoted = '"' + (FDir / "ausente.ini").string() + '"';
  EXPECT_NE(daemon.Errors().find(quoted), std::string::npos) << daemon.Errors();
}

}  // namespace

namespace {

// Only the networks the INI file names may connect: a peer outside them is closed before the
// negotiation and told once on standard error; an INI value that is no network fails the start.
TEST_F(DaemonTest, ClientsOutsideTheConfiguredNetworksAreRefused) {
  WriteIni(Ini(std::to_string(FPort)) + "CLIENTES=127.0.0.1/32\r\n");
  const auto daemon = Start();
  ASSERT_EQ(ListeningPort(*daemon), FPort);
  for (int i = 0; i < 3; ++i) {
    UniqueFd outsider = tcptest::Connect(FPort, "127.0.0.2");
    ASSERT_TRUE(outsider);
    EXPECT_TRUE(tcptest::ClosedByServer(outsider.get()));
  }
  UniqueFd admitted = tcptest::Connect(FPort, "127.0.0.1");
  ASSERT_TRUE(admitted);
  ExpectNegotiation(admitted.get());
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
  const std::string errors = daemon->Errors();
  const std::string refused = "Conexão recusada de 127.0.0.2";
  EXPECT_NE(errors.find(refused), std::string::npos) << errors;
  EXPECT_EQ(errors.find(refused), errors.rfind(refused)) << "once a minute per address";

  WriteIni(Ini(std::to_string(FPort)) + "CLIENTES=rede-da-empresa\r\n");
  const auto refusing = Start();
  EXPECT_EQ(refusing->Wait(), 1);
  EXPECT_NE(refusing->Errors().find("Chave CLIENTES: Rede de clientes inválida"), std::string::npos)
      << refusing->Errors();
}

// MEMORIA_CLIENTES sets the budget in MiB; a value that is not a number of MiB in range fails
// the start naming the key and the value.
TEST_F(DaemonTest, ClientMemoryKeyIsReadAtStart) {
  const struct {
    const char* name;
    const char* value;
    bool starts;
  } kCases[] = {{"a number", "512", true},
                {"blank", " ", true},
                {"the lowest", "16", true},
                {"below it", "15", false},
                {"not a number", "muito", false},
                {"negative", "-1", false},
                {"past the ceiling", "99999999999", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteIni(Ini(std::to_string(FPort)) + "MEMORIA_CLIENTES=" + c.value + "\r\n");
    const auto daemon = Start();
    if (c.starts) {
      ASSERT_EQ(ListeningPort(*daemon), FPort);
      daemon->Signal(SIGTERM);
      EXPECT_EQ(daemon->Wait(), 0);
    } else {
      EXPECT_EQ(daemon->Wait(), 1);
      EXPECT_NE(daemon->Errors().find("Chave MEMORIA_CLIENTES inválida"), std::string::npos)
          << daemon->Errors();
    }
  }
}

}  // namespace

namespace {

// USUARIO and SENHA_HASH make the daemon ask every client for that user and password; SIGHUP
// without them serves as before. ENDERECO keeps it to one address. A key that cannot be used
// fails the start naming it.
TEST_F(DaemonTest, PasswordAndAddressOfTheIniFile) {
  test_certificates::TTestStore store;  // the daemon inherits ASSINADOR_NFSE_STORE
  store.Add(test_certificates::Certificate("empresa.pem", "EMPRESA EXEMPLO LTDA"));
  const std::string hash = password_hash::TPasswordHash::Make("s3nha!", 1000).ToString();
  WriteIni(Ini(std::to_string(FPort)) + "USUARIO=caixa\r\nSENHA_HASH=" + hash +
           "\r\nENDERECO=127.0.0.1\r\n");
  const auto daemon = Start();
  std::string started;
  ASSERT_EQ(ListeningPort(*daemon, &started), FPort);
  EXPECT_TRUE(started.ends_with(" do endereço 127.0.0.1.")) << started;
  {
    // Another loopback address of this machine finds no listener.
    UniqueFd other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(FPort);
    ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    EXPECT_NE(::connect(other.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  const auto list = [&](const TDBXClient::TProperties& AProperties) {
    TDBXClient client("127.0.0.1", FPort);
    client.Open();
    client.Connect(AProperties);
    return client.CallTextMethod(u"TSMSignService.getListCertificate", {});
  };
  const TDBXClient::TProperties right = {{u"DSAuthenticationUser", u"caixa"},
                                         {u"DSAuthenticationPassword", u"s3nha!"}};
  EXPECT_NE(list(right).find(u"EMPRESA EXEMPLO LTDA"), Text::npos);
  for (const TDBXClient::TProperties& wrong :
       {TDBXClient::TProperties{}, TDBXClient::TProperties{{u"DSAuthenticationUser", u"caixa"},
                                                           {u"DSAuthenticationPassword", u"x"}}}) {
    try {
      list(wrong);
      ADD_FAILURE() << "accepted";
    } catch (const TDBXRemoteError& e) {
      EXPECT_EQ(e.ErrorCode(), 0);
      EXPECT_NE(text::ToUtf8(e.Message()).find("Authentication manager rejected user credentials"),
                std::string::npos);
    }
  }

  WriteIni(Ini(std::to_string(FPort)));
  daemon->Signal(SIGHUP);
  EXPECT_EQ(ListeningPort(*daemon), FPort);
  EXPECT_NE(list({}).find(u"EMPRESA EXEMPLO LTDA"), Text::npos);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
  const std::string errors = daemon->Errors();
  const std::string refused =
      "Conexão recusada de 127.0.0.1: usuário ou senha errados (chaves USUARIO e SENHA_HASH do "
      "arquivo de configuração)";
  EXPECT_NE(errors.find(refused), std::string::npos) << errors;
  EXPECT_EQ(errors.find(refused), errors.rfind(refused)) << "once a minute per address";

  WriteIni(Ini(std::to_string(FPort)) + "SENHA_HASH=" + hash + "\r\n");
  const auto lonely = Start();
  EXPECT_EQ(lonely->Wait(), 1);
  EXPECT_NE(lonely->Errors().find("Chave SENHA_HASH sem a chave USUARIO"), std::string::npos)
      << lonely->Errors();
  WriteIni(Ini(std::to_string(FPort)) + "ENDERECO=servidor.local\r\n");
  const auto unnamed = Start();
  EXPECT_EQ(unnamed->Wait(), 1);
  EXPECT_NE(unnamed->Errors().find("Chave ENDERECO: Endereço de escuta inválido"),
            std::string::npos)
      << unnamed->Errors();
}

}  // namespace
