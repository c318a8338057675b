// assinador-nfsed as a service manager runs it: started from an INI file, stopped and restarted
// by signals, its journal and exit status checked.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/text.h"
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
  void SetUp() override { WriteIni(Ini("0")); }
  void WriteIni(const std::string& ABytes) { TScratchDirectory::WriteBytes(FIni, ABytes); }

  std::unique_ptr<TDaemonProcess> Start(std::vector<std::string> AMore = {}) {
    std::vector<std::string> arguments = {"--config", FIni.string(), "--log", FLog.string()};
    arguments.insert(arguments.end(), AMore.begin(), AMore.end());
    return std::make_unique<TDaemonProcess>(arguments, FDir / "stderr.txt");
  }
  // The port of the next "listening" line; 0 when the line is not that.
  static std::uint16_t ListeningPort(TDaemonProcess& ADaemon) {
    const auto line = ADaemon.ReadLine();
    EXPECT_TRUE(line && line->starts_with(kStartedLine)) << (line ? *line : "(no line)") << "\n"
                                                         << ADaemon.Errors();
    if (!line || !line->starts_with(kStartedLine)) return 0;
    return static_cast<std::uint16_t>(std::stoi(line->substr(kStartedLine.size())));
  }
  std::vector<TRecord> Journal() const { return Records(TScratchDirectory::ReadBytes(FLog)); }

  TScratchDirectory FDir;
  std::filesystem::path FIni = FDir / "assinador-nfsed.ini";
  std::filesystem::path FLog = FDir / "assinador-nfsed.log";
};

// Answers the filter negotiation: the server's list names the compression filter and its
// threshold, so the connection went all the way to the daemon's protocol handler.
void ExpectNegotiation(int AClient) {
  ASSERT_TRUE(tcptest::SendAll(AClient, std::string(5, '\x05')));
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
    ASSERT_NE(port, 0);
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
    EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(kReload + "0"), Info(kReload + "0")}));
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
  ASSERT_TRUE(tcptest::SendAll(halfway.get(), std::string(3, '\x05')));

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Errors();
  EXPECT_TRUE(tcptest::ClosedByServer(halfway.get()));
  EXPECT_THROW(client.CallTextMethod(u"DSAdmin.GetPlatformName", {}), TDBXError);
  EXPECT_FALSE(client.IsOpen());
  // The refused signature is recorded with the client's address; the document is not.
  EXPECT_EQ(Journal(), (std::vector<TRecord>{
                           Info(kReload + "0"), Info(kReload + "0"),
                           Error("[Negócio] Assinatura recusada ao cliente 127.0.0.1 (certificado "
                                 "FFEE).\n[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do "
                                 "Documento.\n[Certificado] Erro ao Obter o Certificado!\n"
                                 "Certificado Digital não encontrado!")}));
  EXPECT_EQ(daemon->Errors(), "");
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
  EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(kReload + "0"), Info(kReload + "0"),
                                             Info(kReload + std::to_string(port))}));

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

TEST_F(DaemonTest, HangUpOntoATakenPortLogsTheFailureAndEnds) {
  const auto daemon = Start();
  ASSERT_NE(ListeningPort(*daemon), 0);
  const TTakenPort taken;
  WriteIni(Ini(std::to_string(taken.Port())));
  daemon->Signal(SIGHUP);
  EXPECT_EQ(daemon->Wait(), 1);
  EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(kReload + "0"), Info(kReload + "0"),
                                             Info(kReload + std::to_string(taken.Port())),
                                             Error(kStartFailed + kCouldNotBind)}));
  EXPECT_NE(daemon->Errors().find(kCouldNotBind), std::string::npos) << daemon->Errors();
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

TEST_F(DaemonTest, TakenPortIsLoggedAndEndsWithAFailureStatus) {
  const TTakenPort taken;
  WriteIni(Ini(std::to_string(taken.Port())));
  const auto daemon = Start();
  EXPECT_EQ(daemon->Wait(), 1);
  const std::string port = std::to_string(taken.Port());
  EXPECT_EQ(Journal(), (std::vector<TRecord>{Info(kReload + port), Info(kReload + port),
                                             Error(kStartFailed + kCouldNotBind)}));
  EXPECT_EQ(daemon->Errors(), "assinador-nfsed: [Serviço] Erro na inicialização do servidor.\n" +
                                  kCouldNotBind + "\n");
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
  TDaemonProcess daemon({"--config=ausente.ini"}, FDir / "stderr.txt");
  std::filesystem::current_path(before);
  EXPECT_EQ(daemon.Wait(), 1);
  const std::string quoted = '"' + (FDir / "ausente.ini").string() + '"';
  EXPECT_NE(daemon.Errors().find(quoted), std::string::npos) << daemon.Errors();
}

}  // namespace
