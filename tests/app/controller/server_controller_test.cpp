#include "app/controller/server_controller.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "platform/password_hash.h"
#include "platform/sys/executable.h"
#include "server/utils/machine_utils.h"
#include "tests/support/error_of.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/free_port.h"
#include "tests/support/scratch_directory.h"
#include "tests/transport/tcp/tcp_test_support.h"

namespace {

using TRecord = std::pair<TLogLevel, std::string>;

TRecord Reload(int APort) {
  return {TLogLevel::llInfo,
          "[Controlador do Serviço] Recarga da Configuração do Assinador.\rPorta: " +
              std::to_string(APort)};
}

std::string Ini(const std::string& APort) { return "[CONFIGURACAO]\nPORTA=" + APort + "\n"; }

const std::string kInvalidPort = "Valor inválido para a Porta do Servidor.";

// A server with its TCP transport, as the container has them, serving raw connections that
// never talk; the journal records kept in memory.
class ServerControllerTest : public testing::Test {
 protected:
  void SetUp() override {
    FTransport.SetSessionManager(FSessions);
    FTransport.SetProtocolHandlerFactory(
        std::make_unique<tcptest::TEchoFactory>(FProbe, FSessions));
    FTransport.SetServer(&FServer);
    WriteIni(Ini(std::to_string(FPort)));
  }

  void WriteIni(const std::string& ABytes) { TScratchDirectory::WriteBytes(FIni, ABytes); }
  std::string IniBytes() const { return TScratchDirectory::ReadBytes(FIni); }

  std::unique_ptr<TServerController> Controller() {
    return std::make_unique<TServerController>(
        FServer, FTransport, FIni, [this](TLogLevel ALevel, const Text& AMessage) {
          FRecords.emplace_back(ALevel, text::ToUtf8(AMessage));
        });
  }

  // A client whose connection the server has taken up.
  UniqueFd Connected() {
    const int before = Accepted();
    UniqueFd client = tcptest::Connect(FTransport.BoundPort());
    EXPECT_TRUE(client);
    EXPECT_TRUE(FProbe->WaitFor([&](tcptest::TProbe& p) { return p.Created() > before; }));
    return client;
  }
  int Accepted() {
    std::lock_guard lock(FProbe->Lock);
    return FProbe->Created();
  }

  TScratchDirectory FDir;
  std::filesystem::path FIni = FDir / "assinador-nfsed.ini";
  std::uint16_t FPort = FreePort();  // the INI file's port unless a test writes another
  std::vector<TRecord> FRecords;
  std::shared_ptr<tcptest::TProbe> FProbe = std::make_shared<tcptest::TProbe>();
  TDSSessionManager FSessions;  // outlives the transport, whose channels listen to it
  TDSServer FServer;
  TDSTCPServerTransport FTransport;  // goes first, leaving the server
};

TEST_F(ServerControllerTest, MissingIniFileFailsTheConstructionWithoutRecords) {
  std::filesystem::remove(FIni);
  EXPECT_EQ(ErrorOf([&] { Controller(); }).Utf8(),
            "[Configuração do Servidor] O Arquivo de configuração \"" + FIni.string() +
                "\" não foi encontrado!");
  EXPECT_TRUE(FRecords.empty());
  EXPECT_FALSE(FServer.Started());
}

TEST_F(ServerControllerTest, StartSequenceWritesTwoReloadRecordsAndNoError) {
  const auto controller = Controller();
  EXPECT_TRUE(FRecords.empty()) << "the construction loads without a record";
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);

  controller->getConfigServer();  // the parameter refresh of the start sequence
  controller->StartServer();
  EXPECT_EQ(FRecords, (std::vector<TRecord>{Reload(FPort), Reload(FPort)}));
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStarted);
  EXPECT_EQ(FTransport.Port(), FPort);
  EXPECT_EQ(FTransport.BoundPort(), FPort);
  EXPECT_TRUE(Connected());
}

// Never a port of the system's choice, which no client could find.
TEST_F(ServerControllerTest, StartRefusesAPortTheServerCannotListenOn) {
  struct Case {
    const char* name;
    std::string file;
    int reloaded;       // the port of the reload record
    std::string found;  // as the message quotes it
    std::string hint = {};
  };
  const Case kCases[] = {
      {"missing key", "[OUTRA]\nPORTA=8080\n", 0, "chave ausente",
       " O arquivo tem PORTA fora da seção [CONFIGURACAO]: ponha-a depois da linha "
       "[CONFIGURACAO]."},
      {"empty file", "", 0, "chave ausente"},
      {"empty value", Ini(""), 0, "valor vazio"},
      {"text", Ini("porta"), 0, "\"porta\""},
      {"zero", Ini("0"), 0, "\"0\""},
      {"above 65535", Ini("70000"), 70000, "\"70000\""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FRecords.clear();
    WriteIni(c.file);
    const auto controller = Controller();
    EXPECT_EQ(ErrorOf([&] { controller->StartServer(); }).Utf8(),
              "[Configuração do Servidor] PORTA ausente ou inválida em \"" + FIni.string() +
                  "\": " + c.found +
                  ". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 (por exemplo "
                  "PORTA=8080)." +
                  c.hint);
    EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
    EXPECT_EQ(FRecords, std::vector<TRecord>{Reload(c.reloaded)});
  }
}

TEST_F(ServerControllerTest, RestartEndsEveryConnectionAndListensOnThePortOfTheFileNow) {
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd first = Connected(), second = Connected();

  const std::uint16_t port = FreePort();
  WriteIni(Ini(std::to_string(port)));
  controller->StartServer();
  EXPECT_TRUE(tcptest::ClosedByServer(first.get()));
  EXPECT_TRUE(tcptest::ClosedByServer(second.get()));
  EXPECT_EQ(FTransport.BoundPort(), port);
  EXPECT_EQ(FRecords, (std::vector<TRecord>{Reload(FPort), Reload(port)}));
  EXPECT_TRUE(Connected());

  // On the same port: stopped and started again, as before.
  UniqueFd third = Connected();
  controller->StartServer();
  EXPECT_TRUE(tcptest::ClosedByServer(third.get()));
  EXPECT_EQ(FTransport.BoundPort(), port);
}

// What a port another program holds gives: who, when it can be read (here the test itself
// holds it, and a process does not name itself), what to do, and the transport's words.
std::string InUse(std::uint16_t APort) {
  return "[Serviço] A porta " + std::to_string(APort) +
         " já está em uso por outro programa deste computador. Feche esse programa ou escolha "
         "outra PORTA no arquivo de configuração (ss -ltnp mostra que programa usa cada porta)."
         "\rDetalhe: Could not bind socket. Address and port are already in use.";
}

TEST_F(ServerControllerTest, RestartOntoAPortThatCannotBeUsedKeepsTheRunningServer) {
  const TTakenPort taken;
  const std::string kept =
      "\rO servidor continua atendendo na porta " + std::to_string(FPort) + ".";
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const Case kCases[] = {
      {"taken", Ini(std::to_string(taken.Port())), InUse(taken.Port()) + kept},
      {"invalid", Ini("0"),
       "[Configuração do Servidor] PORTA ausente ou inválida em \"" + FIni.string() +
           "\": \"0\". Informe na seção [CONFIGURACAO] uma porta TCP de 1 a 65535 (por exemplo "
           "PORTA=8080)." +
           kept},
  };
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.file);
    EXPECT_EQ(ErrorOf([&] { controller->StartServer(); }).Utf8(), c.message);
    EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStarted);
    EXPECT_EQ(FTransport.BoundPort(), FPort);
    EXPECT_EQ(FTransport.ConnectionCount(), 1u) << "the connection was left alone";
  }
}

TEST_F(ServerControllerTest, StopIsSynchronousAndEndsEveryConnection) {
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  controller->StopServer();
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
  EXPECT_EQ(FTransport.ConnectionCount(), 0u);
  {
    std::lock_guard lock(FProbe->Lock);
    EXPECT_EQ(FProbe->Destroyed(), FProbe->Created()) << "every disconnect step has run";
  }
  EXPECT_TRUE(tcptest::ClosedByServer(client.get()));
  controller->StopServer();  // stopping a stopped server does nothing
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
}

TEST_F(ServerControllerTest, FailedReloadIsRecordedAndTheLastPortStays) {
  const std::uint16_t port = FreePort();
  WriteIni(Ini(std::to_string(port)));
  const auto controller = Controller();
  std::filesystem::remove(FIni);

  const IConfigServerPtr config = controller->getConfigServer();
  EXPECT_EQ(config->getPort(), port);
  const std::string missing = "[Configuração do Servidor] O Arquivo de configuração \"" +
                              FIni.string() + "\" não foi encontrado!";
  const TRecord failed = {TLogLevel::llError,
                          "[Controlador do Serviço] Erro na carga da configuração do "
                          "Servidor.\r" +
                              missing};
  EXPECT_EQ(FRecords, std::vector<TRecord>{failed});

  controller->StartServer();  // on the last port loaded
  EXPECT_EQ(FTransport.BoundPort(), port);
  EXPECT_EQ(FRecords, (std::vector<TRecord>{failed, failed}));
}

TEST_F(ServerControllerTest, JournalFailuresOfTheReload) {
  // The information record fails: the error record tells why.
  auto controllerWith = [&](TLogFunction ALog) {
    return std::make_unique<TServerController>(FServer, FTransport, FIni, std::move(ALog));
  };
  auto picky = controllerWith([&](TLogLevel ALevel, const Text& AMessage) {
    if (ALevel == TLogLevel::llInfo) throw Exception(std::string_view("disco cheio"));
    FRecords.emplace_back(ALevel, text::ToUtf8(AMessage));
  });
  picky->getConfigServer();
  EXPECT_EQ(
      FRecords,
      (std::vector<TRecord>{
          {TLogLevel::llError,
           "[Controlador do Serviço] Erro na carga da configuração do Servidor.\rdisco cheio"}}));
  // Every record fails: the failure of the error record leaves.
  auto broken = controllerWith(
      [](TLogLevel, const Text&) { throw Exception(std::string_view("log inacessível")); });
  EXPECT_EQ(ErrorOf([&] { broken->getConfigServer(); }).Utf8(), "log inacessível");
  EXPECT_EQ(ErrorOf([&] { broken->StartServer(); }).Utf8(), "log inacessível");
  EXPECT_FALSE(FServer.Started());
}

TEST_F(ServerControllerTest, UpdatePortServerRefusesPortsOutsideTheRangeBeforeChangingAnything) {
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  const std::string before = IniBytes();
  FRecords.clear();
  for (const std::int32_t port : {0, -5, INT32_MIN, 65536, 65536 + FPort, INT32_MAX}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(ErrorOf([&] { controller->UpdatePortServer(port); }).Utf8(), kInvalidPort);
    EXPECT_EQ(IniBytes(), before);
    EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStarted);
    EXPECT_EQ(FTransport.BoundPort(), FPort);
    EXPECT_EQ(controller->getConfigServer()->getPort(), FPort);  // the value never reached it
  }
  EXPECT_EQ(Accepted(), 1);
  EXPECT_EQ(FTransport.ConnectionCount(), 1u) << "the connection was left alone";
}

TEST_F(ServerControllerTest, UpdatePortServerSavesThePortAndRestartsOnIt) {
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  const std::uint16_t port = FreePort();
  FRecords.clear();
  controller->UpdatePortServer(port);
  EXPECT_EQ(IniBytes(), Ini(std::to_string(port)));
  EXPECT_EQ(FRecords, std::vector<TRecord>{Reload(port)});
  EXPECT_EQ(FTransport.BoundPort(), port);
  EXPECT_TRUE(tcptest::ClosedByServer(client.get()));
  EXPECT_TRUE(Connected());
}

TEST_F(ServerControllerTest, UpdatePortServerThatCannotSaveLeavesTheServerRunning) {
  // Longer than the size limit below, so that the rewrite fails.
  WriteIni("[GERAL]\nNome=" + std::string(200, 'x') + "\n" + Ini(std::to_string(FPort)));
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  const std::string before = IniBytes();
  TRaisedError error;
  {
    const FileSizeLimit limit(before.size() - 10);
    error = ErrorOf([&] { controller->UpdatePortServer(FreePort()); });
  }
  EXPECT_EQ(error.Utf8(), "Unable to write to " + FIni.string());
  EXPECT_EQ(IniBytes(), before);
  EXPECT_EQ(FTransport.BoundPort(), FPort);
  EXPECT_EQ(FTransport.ConnectionCount(), 1u);
}

TEST_F(ServerControllerTest, UpdatePortServerOntoATakenPortLeavesServerAndFileAsTheyWere) {
  const TTakenPort taken;
  const std::string inUse = InUse(taken.Port());
  const auto controller = Controller();
  controller->StartServer();
  UniqueFd client = Connected();
  const std::string before = IniBytes();
  FRecords.clear();
  EXPECT_EQ(ErrorOf([&] { controller->UpdatePortServer(taken.Port()); }).Utf8(),
            inUse + "\rO servidor continua atendendo na porta " + std::to_string(FPort) + ".");
  EXPECT_EQ(IniBytes(), before);
  EXPECT_EQ(FTransport.BoundPort(), FPort);
  EXPECT_EQ(FTransport.ConnectionCount(), 1u);
  EXPECT_TRUE(FRecords.empty());
  EXPECT_EQ(controller->getConfigServer()->getPort(), FPort);

  // Stopped: the same check, without the old port to keep.
  controller->StopServer();
  EXPECT_EQ(ErrorOf([&] { controller->UpdatePortServer(taken.Port()); }).Utf8(), inUse);
  EXPECT_EQ(IniBytes(), before);
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
  // The port the server already serves on is no obstacle: a plain restart.
  controller->StartServer();
  controller->UpdatePortServer(FPort);
  EXPECT_EQ(FTransport.BoundPort(), FPort);
}

TEST_F(ServerControllerTest, StartOnATakenPortFailsAndLeavesTheServerStopped) {
  const TTakenPort taken;
  WriteIni(Ini(std::to_string(taken.Port())));
  const auto controller = Controller();
  EXPECT_EQ(ErrorOf([&] { controller->StartServer(); }).Utf8(), InUse(taken.Port()));
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
  EXPECT_EQ(FRecords, std::vector<TRecord>{Reload(taken.Port())}) << "the failure is not logged";
}

TEST(ServerControllerPortTest, CheckPortBindableRefusesInvalidAndTakenPorts) {
  const TTakenPort taken;
  EXPECT_EQ(ErrorOf([&] { TServerController::CheckPortBindable(0); }).Utf8(), kInvalidPort);
  EXPECT_EQ(ErrorOf([&] { TServerController::CheckPortBindable(65536); }).Utf8(), kInvalidPort);
  EXPECT_EQ(ErrorOf([&] { TServerController::CheckPortBindable(taken.Port()); }).Utf8(),
            InUse(taken.Port()));
  EXPECT_EQ(ErrorOf([&] { TServerController::CheckPortBindable(FreePort()); }).Utf8(),
            "(no error)");
}

TEST_F(ServerControllerTest, HintNamesTheProductAndTheServerState) {
  const TVersionInfoEx version =
      TMachineUtils::GetVersionInfoEx(text::FromLocale(sys::ExecutablePath().string()));
  ASSERT_FALSE(version.ProductName.empty());
  const Text head = version.LegalCopyright + u"\r" + version.ProductName + u" (" +
                    version.FileVersion + u") \rMonitoramento: ";
  const auto controller = Controller();
  EXPECT_EQ(controller->GetHintApplication(), head + u"PARADO");
  controller->StartServer();
  EXPECT_EQ(controller->GetHintApplication(), head + u"INICIADO");
  controller->StopServer();
  EXPECT_EQ(controller->GetHintApplication(), head + u"PARADO");
}

TEST_F(ServerControllerTest, LogInfoAndLogErrorWriteTheMessageAsGiven) {
  const auto controller = Controller();
  controller->LogInfo(u"linha 1\rlinha 2");
  controller->LogError(u"");
  EXPECT_EQ(FRecords, (std::vector<TRecord>{{TLogLevel::llInfo, "linha 1\rlinha 2"},
                                            {TLogLevel::llError, ""}}));
}

TEST(ServerControllerJournalTest, WritesToTheNamedJournal) {
  TScratchDirectory dir;
  TScratchDirectory::WriteBytes(dir / "a.ini", Ini("0"));
  TDSServer server;
  TDSTCPServerTransport transport;
  TServerController controller(server, transport, dir / "a.ini", TLogger::JournalAt(dir / "a.log"));
  controller.getConfigServer();
  const std::string journal = TScratchDirectory::ReadBytes(dir / "a.log");
  EXPECT_NE(journal.find("\r\n[Controlador do Serviço] Recarga da Configuração do "
                         "Assinador.\rPorta: 0\r\n### FIM ###\r\r\n"),
            std::string::npos)
      << journal;
}

}  // namespace

namespace {

// A connection to APort at the literal address AAddress (IPv4 or IPv6); none when refused.
UniqueFd ConnectTo(std::uint16_t APort, const char* AAddress) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (::inet_pton(AF_INET, AAddress, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(APort);
    length = sizeof v4;
  } else if (::inet_pton(AF_INET6, AAddress, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(APort);
    length = sizeof v6;
  }
  UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    return UniqueFd();
  return fd;
}

bool HasIpv6Loopback() {
  return static_cast<bool>(UniqueFd(ConnectTo(0, "::1"))) || [] {
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_loopback;
    return fd && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
  }();
}

const std::string kHash = password_hash::TPasswordHash::Make("s3nha!", 1000).ToString();

// USUARIO with SENHA_HASH turns the password on, neither leaves it off; ENDERECO picks the
// address listened on. Any other combination or value fails the start naming the key, and a
// running server keeps serving.
TEST_F(ServerControllerTest, AuthenticationAndAddressKeysAreCheckedAtEveryStart) {
  struct Case {
    const char* name;
    std::string keys;
    std::string error;  // empty: starts
    bool authenticates;
    std::string address;
  };
  const std::string lonelyAfter =
      ": para pedir senha aos clientes, informe as duas (o usuário em USUARIO e, em SENHA_HASH, o "
      "que \"assinador-nfse-cli senha\" escrever); para não pedir, retire as duas.";
  const Case kCases[] = {
      {"neither key", "", "", false, ""},
      {"both keys", "USUARIO=caixa\nSENHA_HASH=" + kHash + "\n", "", true, ""},
      {"both keys empty", "USUARIO=\nSENHA_HASH=  \n", "", false, ""},
      {"user alone", "USUARIO=caixa\n", "", false, ""},
      {"hash alone", "SENHA_HASH=" + kHash + "\n", "", false, ""},
      {"user with an empty hash", "USUARIO=caixa\nSENHA_HASH=\n", "", false, ""},
      {"password in clear", "USUARIO=caixa\nSENHA_HASH=s3nha!\n", "", false, ""},
      {"truncated hash", "USUARIO=caixa\nSENHA_HASH=" + kHash.substr(0, kHash.size() - 4) + "\n",
       "", false, ""},
      {"IPv4 loopback", "ENDERECO=127.0.0.1\n", "", false, "127.0.0.1"},
      {"blank address", "ENDERECO= \n", "", false, ""},
      {"address with blanks", "ENDERECO= 127.0.0.1 \n", "", false, "127.0.0.1"},
      {"host name", "ENDERECO=localhost\n", "", false, ""},
      {"address with a port", "ENDERECO=127.0.0.1:8080\n", "", false, ""},
      {"network", "ENDERECO=127.0.0.0/8\n", "", false, ""},
  };
  const std::map<std::string, std::string> kErrors = {
      {"user alone",
       "[Configuração do Servidor] Chave USUARIO sem a chave SENHA_HASH" + lonelyAfter},
      {"hash alone",
       "[Configuração do Servidor] Chave SENHA_HASH sem a chave USUARIO" + lonelyAfter},
      {"user with an empty hash",
       "[Configuração do Servidor] Chave USUARIO sem a chave SENHA_HASH" + lonelyAfter},
      {"password in clear",
       "[Configuração do Servidor] Chave SENHA_HASH: não é um hash de senha (o formato é "
       "pbkdf2-sha256$ITERAÇÕES$SAL$HASH; gere-o com \"assinador-nfse-cli senha\")."},
      {"truncated hash", "[Configuração do Servidor] Chave SENHA_HASH: o hash deve ser base64"},
      {"host name",
       "[Configuração do Servidor] Chave ENDERECO: Endereço de escuta inválido (use um endereço "
       "IPv4 ou IPv6 deste computador, como 127.0.0.1 ou ::1, ou deixe vazio para todos): "
       "\"localhost\""},
      {"address with a port",
       "[Configuração do Servidor] Chave ENDERECO: Endereço de escuta inválido"},
      {"network", "[Configuração do Servidor] Chave ENDERECO: Endereço de escuta inválido"},
  };
  const auto controller = Controller();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteIni(Ini(std::to_string(FPort)) + c.keys);
    const std::string error = ErrorOf([&] { controller->StartServer(); }).Utf8();
    const auto expected = kErrors.find(c.name);
    if (expected == kErrors.end()) {
      EXPECT_EQ(error, "(no error)");
      EXPECT_EQ(FTransport.AuthenticationManager() != nullptr, c.authenticates);
      EXPECT_EQ(FTransport.BindAddress().ToString(), c.address);
    } else {
      EXPECT_TRUE(error.starts_with(expected->second)) << error;
      // The server that ran before keeps serving, as it was.
      EXPECT_TRUE(
          error.ends_with("O servidor continua atendendo na porta " + std::to_string(FPort) + "."))
          << error;
    }
    EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStarted);
  }
}

TEST_F(ServerControllerTest, ServerListensOnlyOnTheAddressNamed) {
  WriteIni(Ini(std::to_string(FPort)) + "ENDERECO=127.0.0.1\n");
  auto controller = Controller();
  controller->StartServer();
  EXPECT_TRUE(ConnectTo(FPort, "127.0.0.1"));
  EXPECT_FALSE(ConnectTo(FPort, "127.0.0.2"));
  EXPECT_FALSE(ConnectTo(FPort, "::1"));
  // A port change while running keeps to the address.
  const std::uint16_t other = FreePort();
  controller->UpdatePortServer(other);
  EXPECT_TRUE(ConnectTo(other, "127.0.0.1"));
  EXPECT_FALSE(ConnectTo(other, "127.0.0.2"));

  // Every interface again once the key goes, IPv4 and IPv6 on one socket.
  WriteIni(Ini(std::to_string(FPort)));
  controller->StartServer();
  EXPECT_TRUE(ConnectTo(FPort, "127.0.0.2"));
  if (HasIpv6Loopback()) {
    EXPECT_TRUE(ConnectTo(FPort, "::1"));
    WriteIni(Ini(std::to_string(FPort)) + "ENDERECO=[::1]\n");
    controller->StartServer();
    EXPECT_EQ(FTransport.BindAddress().ToString(), "::1");
    EXPECT_TRUE(ConnectTo(FPort, "::1"));
    EXPECT_FALSE(ConnectTo(FPort, "127.0.0.1"));
  }
}

TEST_F(ServerControllerTest, AddressOfAnotherComputerFailsTheStartNamingIt) {
  // 192.0.2.0/24 is reserved for documentation: no interface has it.
  WriteIni(Ini(std::to_string(FPort)) + "ENDERECO=192.0.2.1\n");
  const auto controller = Controller();
  EXPECT_EQ(ErrorOf([&] { controller->StartServer(); }).Utf8(),
            "[Serviço] O endereço 192.0.2.1 da chave ENDERECO não é de nenhuma interface de rede "
            "deste computador. Informe um endereço dele (ip -brief address mostra quais são) ou "
            "retire a chave para atender em todos.");
  EXPECT_EQ(controller->StatusServer(), TStatusDSServer::sdsStoped);
}

TEST_F(ServerControllerTest, ControllerThatGoesStopsTheServerThatChecksItsPasswords) {
  WriteIni(Ini(std::to_string(FPort)) + "USUARIO=caixa\nSENHA_HASH=" + kHash + "\n");
  Controller()->StartServer();
  EXPECT_FALSE(FServer.Started());
  EXPECT_EQ(FTransport.AuthenticationManager(), nullptr);
}

}  // namespace
