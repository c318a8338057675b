// "remoto certificados" and "remoto assinar" of assinador-nfse-cli against a signing server in
// this process (the real container on a loopback port), against ports where none answers
// or something else does, and through a relay that breaks connections in the middle of a call.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/container/server_container.h"
#include "platform/sys/unique_fd.h"
#include "platform/text.h"
#include "tests/support/free_port.h"
#include "tests/support/signature_check.h"
#include "tests/tools/cli_fixture.h"
#include "transport/tcp/client_networks.h"

namespace {

using test_certificates::Certificate;

class RemoteCliTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    FServer.dsTCP.SetPort(0);
    FServer.dsSvr.Start();
    FAddress = "127.0.0.1:" + std::to_string(FServer.dsTCP.BoundPort());
  }

  TSC FServer{[](TLogLevel, const Text&) {}};
  std::string FAddress;
};

TEST_F(RemoteCliTest, UsageErrorsSayWhatIsWrong) {
  struct Case {
    const char* name;
    std::string arguments;
    std::string message;
  };
  const Case kCases[] = {
      {"no remote command", "remoto", "falta o comando remoto (certificados ou assinar)."},
      {"unknown remote command", "remoto apagar", "comando remoto desconhecido: \"apagar\""},
      {"list without server", "remoto certificados", "falta o endereço do servidor"},
      {"server without value", "remoto certificados --servidor",
       "falta o valor da opção --servidor"},
      {"empty server", "remoto certificados --servidor ''", "(--servidor) está vazio."},
      {"port zero", "remoto certificados --servidor h:0", "porta inválida em --servidor: \"0\""},
      {"port too large", "remoto certificados --servidor h:65536", "porta inválida"},
      {"port not a number", "remoto certificados --servidor h:21x", "porta inválida"},
      {"empty port", "remoto certificados --servidor h:", "porta inválida em --servidor: \"\""},
      {"no host", "remoto certificados --servidor :211", "falta o nome do servidor em \":211\""},
      {"IPv6 without brackets", "remoto certificados --servidor ::1", "entre colchetes"},
      {"unclosed bracket", "remoto certificados --servidor '[::1'", "falta o \"]\""},
      {"junk after bracket", "remoto certificados --servidor '[::1]x'",
       "endereço do servidor inválido"},
      {"empty brackets", "remoto certificados --servidor '[]:80'", "falta o nome do servidor"},
      {"extra argument", "remoto certificados --servidor h todos",
       "argumento inesperado para certificados: \"todos\""},
      {"sign without serial", "remoto assinar a.xml --servidor h",
       "falta o número de série do certificado (--serie)."},
      {"sign without server", "remoto assinar a.xml --serie 01", "falta o endereço do servidor"},
      {"sign without file", "remoto assinar --serie 01 --servidor h", "falta o arquivo a assinar."},
      {"wait of zero seconds", "remoto assinar a.xml --serie 01 --servidor h --espera 0",
       "o tempo de espera (--espera) deve estar entre 1 e 3600 segundos."},
      {"wait not a number", "remoto certificados --servidor h --espera muito",
       "o tempo de espera (--espera) deve estar entre 1 e 3600 segundos."},
      {"no connections", "remoto assinar a.xml --serie 01 --servidor h --conexoes 0",
       "o número de conexões (--conexoes) deve estar entre 1 e 64."},
      {"too many connections", "remoto assinar a.xml --serie 01 --servidor h --conexoes 65",
       "entre 1 e 64"},
      {"negative connections", "remoto assinar a.xml --serie 01 --servidor h --conexoes -1",
       "entre 1 e 64"},
      {"several files to standard output", "remoto assinar a.xml b.xml --serie 01 --servidor h",
       "indique a pasta de saída (--pasta-saida)."},
      {"local signing has no server", "assinar a.xml --serie 01 --servidor h",
       "opção desconhecida: \"--servidor\""},
      {"local signing has no connections", "assinar a.xml --serie 01 --conexoes 2",
       "opção desconhecida: \"--conexoes\""},
      {"no attempts", "remoto assinar a.xml --serie 01 --servidor h --tentativas 0",
       "o número de tentativas (--tentativas) deve estar entre 1 e 10."},
      {"too many attempts", "remoto assinar a.xml --serie 01 --servidor h --tentativas 11",
       "entre 1 e 10"},
      {"attempts not a number", "remoto assinar a.xml --serie 01 --servidor h --tentativas=duas",
       "entre 1 e 10"},
      {"attempts twice",
       "remoto assinar a.xml --serie 01 --servidor h --tentativas 2 --tentativas 3",
       "a opção --tentativas foi dada mais de uma vez."},
      {"local signing has no attempts", "assinar a.xml --serie 01 --tentativas 2",
       "opção desconhecida: \"--tentativas\""},
      {"listing has no attempts", "remoto certificados --servidor h --tentativas 2",
       "opção desconhecida: \"--tentativas\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  }
}

TEST_F(CliTest, HelpNamesTheServerAndStoreCommands) {
  const TRun run = Run("remoto --help");
  EXPECT_EQ(run.status, 0);
  for (const char* usage :
       {"assinador-nfse-cli remoto certificados --servidor HOST[:PORTA] [--bruto]",
        "assinador-nfse-cli remoto assinar ARQUIVO... --serie SERIE --servidor HOST[:PORTA]",
        "[--sobrescrever] [--conexoes N]", "--tentativas N      Envia cada arquivo até N vezes",
        "assinador-nfse-cli importar ARQUIVO.pfx [--senha-arquivo ARQUIVO]",
        "assinador-nfse-cli remover SERIE"})
    EXPECT_NE(run.out.find(usage), std::string::npos) << usage;
}

TEST_F(RemoteCliTest, ServerAddressForms) {
  const std::string port = std::to_string(FServer.dsTCP.BoundPort());
  std::vector<std::string> addresses = {"127.0.0.1:" + port, "localhost:" + port,
                                        "[127.0.0.1]:" + port};
  // The server listens on both families; the client reaches it over IPv6 where there is one.
  if (const UniqueFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)); probe) {
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    loopback.sin6_port = htons(FServer.dsTCP.BoundPort());
    if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0)
      addresses.push_back("[::1]:" + port);
  }
  for (const std::string& address : addresses) {
    SCOPED_TRACE(address);
    const TRun run = Run("remoto certificados --servidor '" + address + "'");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(LineWith(run.out, "EMPRESA EXEMPLO LTDA").find(FSerial), std::string::npos)
        << run.out;
  }
  // Without a port the server's default is tried; nothing of this test listens there.
  const TRun fallback = Run("remoto certificados --servidor 127.0.0.1");
  if (fallback.status != 0) {
    EXPECT_NE(fallback.err.find("127.0.0.1:211:"), std::string::npos) << fallback.err;
  }
}

// The list as the server sends it, split back into entries: the same lines as the local
// command prints, quotation marks and ";" inside names included.
TEST_F(RemoteCliTest, CertificadosShowsTheServersStoreLikeTheLocalCommand) {
  FStore.Add(Certificate("b.pem", "EMPRESA \"ASPAS\"; LTDA", "0C"));
  FStore.Add(Certificate("c.pem", "SEM-ESPACO", "0D"));
  for (const char* raw : {"", " --bruto"}) {
    SCOPED_TRACE(raw);
    const TRun local = Run(std::string("certificados") + raw);
    const TRun remote = Run("remoto certificados --servidor " + FAddress + raw);
    EXPECT_EQ(remote.status, 0) << remote.err;
    EXPECT_EQ(remote.out, local.out);
    EXPECT_TRUE(remote.err.empty()) << remote.err;
  }
  EXPECT_NE(LineWith(Run("certificados").out, "EMPRESA \"ASPAS\"; LTDA  ").find("  0C  "),
            std::string::npos);

  FStore.Remove("empresa.pem");
  FStore.Remove("b.pem");
  FStore.Remove("c.pem");
  const TRun empty = Run("remoto certificados --servidor " + FAddress);
  EXPECT_EQ(empty.status, 0);
  EXPECT_TRUE(empty.out.empty()) << empty.out;
  EXPECT_NE(empty.err.find("não listou nenhum certificado"), std::string::npos) << empty.err;
}

// The server tells the expiry only: an expired certificate is marked in the list and warned of
// once per run, however many files; the raw list stays the service's text.
TEST_F(RemoteCliTest, ExpiredCertificateIsMarkedAndWarnedOfOncePerRun) {
  std::string serial;
  FStore.Add(Certificate("vencido.pem", "EMPRESA VENCIDA").Expired(), &serial);
  const TRun list = Run("remoto certificados --servidor " + FAddress);
  EXPECT_EQ(list.status, 0) << list.err;
  const std::string expired = LineWith(list.out, "EMPRESA VENCIDA");
  EXPECT_NE(expired.find(std::string(test_certificates::kCaCommonName) + "  VENCIDO"),
            std::string::npos)
      << list.out;
  EXPECT_TRUE(expired.ends_with("VENCIDO")) << list.out;
  EXPECT_EQ(list.out.find("VENCIDO"), list.out.rfind("VENCIDO")) << list.out;
  EXPECT_EQ(Run("remoto certificados --bruto --servidor " + FAddress).out,
            Run("certificados --bruto").out);

  Write("a.xml", kDocument);
  Write("b.xml", kDocument);
  for (const std::string& wanted : {serial, FSerial}) {
    SCOPED_TRACE(wanted);
    const TRun signing = Run("remoto assinar a.xml b.xml --serie " + wanted +
                             " --pasta-saida saida --servidor " + FAddress);
    EXPECT_EQ(signing.status, 0) << signing.err;
    EXPECT_FALSE(Read("saida/b.xml").empty());
    const std::string warning = "aviso: o certificado " + serial + " (EMPRESA VENCIDA) venceu em ";
    const auto first = signing.err.find(warning);
    EXPECT_EQ(first != std::string::npos, wanted == serial) << signing.err;
    if (first != std::string::npos) {
      EXPECT_EQ(signing.err.find(warning, first + 1), std::string::npos) << signing.err;
    }
  }
}

// The server signs exactly as the local command does, so the files are the same bytes, in the
// input's encoding.
TEST_F(RemoteCliTest, SignedFileIsTheLocalResultInTheInputsEncoding) {
  const std::string latin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
  const std::string utf16Declaration = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
  struct Case {
    const char* name;
    std::string input;
  };
  const Case kCases[] = {
      {"UTF-8", kDocument},
      {"UTF-8 with mark", "\xEF\xBB\xBF" + kDocument},
      {"ISO-8859-1", latin1Declaration + text::ToLatin1(text::FromUtf8(kDocument))},
      {"UTF-16 BE with mark", "\xFE\xFF" + Utf16(utf16Declaration + kDocument, true)},
      {"UTF-16 LE without mark", Utf16(utf16Declaration + kDocument, false)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Write("entrada.xml", c.input);
    const TRun local = Run("assinar entrada.xml --serie " + FSerial + " --saida local.xml");
    ASSERT_EQ(local.status, 0) << local.err;
    const TRun remote = Run("remoto assinar entrada.xml --serie " + FSerial + " --servidor " +
                            FAddress + " --saida remoto.xml");
    ASSERT_EQ(remote.status, 0) << remote.err;
    EXPECT_TRUE(remote.out.empty() && remote.err.empty()) << remote.out << remote.err;
    EXPECT_EQ(Read("remoto.xml"), Read("local.xml"));
    EXPECT_TRUE(Verifies("remoto.xml")) << Read("remoto.xml");

    const TRun toStdout =
        Run("remoto assinar entrada.xml --serie " + FSerial + " --servidor " + FAddress);
    EXPECT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, Read("local.xml")) << "standard output gets the same bytes";
  }
  const TRun stdinInput =
      Run("remoto assinar - --serie " + FSerial + " --servidor " + FAddress, kDocument);
  EXPECT_EQ(stdinInput.status, 0) << stdinInput.err;
  Write("stdin.xml", stdinInput.out);
  EXPECT_TRUE(Verifies("stdin.xml"));
}

TEST_F(RemoteCliTest, ManyFilesOverFourConnectionsReportInInputOrder) {
  constexpr int kFiles = 24;
  std::string arguments;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "lote/n";
    name += std::to_string(i) + ".xml";
    // Every fifth one does not load; the rest differ in content and encoding.
    const std::string body = "<nfse><inf Id=\"n1\"><Numero>" + std::to_string(i) +
                             "</Numero><D>manutenção</D></inf><assinatura/></nfse>";
    Write(name, i % 5 == 3   ? "<nfse><sem-fim></nfse>"
                : i % 2 == 0 ? body
                             : "\xFF\xFE" + Utf16(body, false));
    arguments += " " + name;
  }
  const TRun run = Run("remoto assinar" + arguments + " --serie " + FSerial + " --servidor " +
                       FAddress + " --pasta-saida assinados --conexoes 4");
  EXPECT_EQ(run.status, 1) << "some of them failed";
  std::string expectedOut;
  std::string expectedErrors;
  int signedCount = 0;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "n";
    name += std::to_string(i) + ".xml";
    SCOPED_TRACE(name);
    if (i % 5 == 3) {
      EXPECT_FALSE(std::filesystem::exists(Path("assinados/" + name)));
      expectedErrors += "lote/" + name + ": ERRO\nNão foi possível assinar \"lote/" + name +
                        "\" com o certificado " + FSerial +
                        ".\nO arquivo não pôde ser lido como documento XML.\n";
      continue;
    }
    ++signedCount;
    expectedOut += "lote/" + name + ": assinado em assinados/" + name + "\n";
    EXPECT_TRUE(Verifies("assinados/" + name));
    EXPECT_EQ(Read("assinados/" + name).starts_with("\xFF\xFE"), i % 2 == 1);
  }
  EXPECT_EQ(run.out, expectedOut) << "successes in input order";
  std::string errorsInOrder;
  for (std::size_t at = 0; (at = run.err.find(": ERRO\n", at)) != std::string::npos;) {
    const auto start =
        run.err.rfind('\n', at) == std::string::npos ? 0 : run.err.rfind('\n', at) + 1;
    const auto end = run.err.find("XML.\n", at) + 5;
    errorsInOrder += run.err.substr(start, end - start);
    at = end;
  }
  EXPECT_EQ(errorsInOrder, expectedErrors) << run.err;
  EXPECT_TRUE(run.err.ends_with(std::to_string(signedCount) + " de " + std::to_string(kFiles) +
                                " arquivo(s) assinado(s).\n"))
      << run.err;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "no progress line off a terminal";
}

TEST_F(RemoteCliTest, ProgressLineShowsOnATerminal) {
  Write("a.xml", kDocument);
  Write("b.xml", kDocument);
  // script(1) runs the program on a pseudo-terminal and copies what it shows.
  const std::string command =
      "cd '" + FDir.Path().string() + "' && LC_ALL=C.UTF-8 script -qec \"'" +
      ASSINADOR_BINARY_DIR "/assinador-nfse-cli' remoto assinar a.xml b.xml --serie " + FSerial +
      " --servidor " + FAddress + " --pasta-saida saida --conexoes 2\" /dev/null >tela 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << Read("tela");
  const std::string screen = Read("tela");
  EXPECT_NE(screen.find("\r\x1b[K[1/2] assinando a.xml"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\x1b[K[2/2] assinando b.xml"), std::string::npos) << screen;
  EXPECT_NE(screen.find("2 de 2 arquivo(s) assinado(s)."), std::string::npos) << screen;
}

TEST_F(RemoteCliTest, ServiceErrorTextIsAFailure) {
  Write("nota.xml", kDocument);
  const TRun unknown =
      Run("remoto assinar nota.xml --serie FFEE --servidor " + FAddress + " --saida saida.xml");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_EQ(unknown.err,
            "Não foi possível assinar \"nota.xml\" com o certificado FFEE.\n"
            "O servidor não tem um certificado com esse número de série (nem num token "
            "conectado a ele). Veja os certificados dele com \"assinador-nfse-cli remoto "
            "certificados\".\n");
  EXPECT_FALSE(std::filesystem::exists(Path("saida.xml")));

  // A document that does not load is named as the local command names it, with the reason.
  Write("grande.xml", "<nfse>" + std::string(20000, 'x') + "<assinatura/>");
  const TRun large =
      Run("remoto assinar grande.xml --serie " + FSerial + " --servidor " + FAddress);
  EXPECT_EQ(large.status, 1);
  EXPECT_EQ(large.err, Run("assinar grande.xml --serie " + FSerial).err);
  EXPECT_LT(large.err.size(), 300u);
}

TEST_F(RemoteCliTest, NoServerListeningIsAFailureWithOneMessage) {
  Write("a.xml", kDocument);
  Write("b.xml", kDocument);
  const std::string address = "127.0.0.1:" + std::to_string(FreePort());
  const std::string expected = "Não foi possível conectar ao servidor de assinatura em " + address +
                               ": conexão recusada (nenhum programa atende nessa porta";
  for (const std::string& command :
       {"remoto certificados --servidor " + address, "remoto assinar a.xml b.xml --serie " +
                                                         FSerial + " --servidor " + address +
                                                         " --pasta-saida saida --conexoes 2"}) {
    SCOPED_TRACE(command);
    const TRun run = Run(command);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(run.err.starts_with(expected)) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("saida")));
}

TEST_F(RemoteCliTest, UnknownServerNameIsToldInPortuguese) {
  const TRun run = Run("remoto certificados --servidor nao-existe.invalid:8080");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "Não foi possível conectar ao servidor de assinatura em nao-existe.invalid:8080: o "
            "nome \"nao-existe.invalid\" não foi encontrado (confira o nome ou use o endereço "
            "IP).\n");
}

// Something that is not a signing server answers on the port.
TEST_F(RemoteCliTest, ProtocolErrorIsAFailure) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  std::jthread web([&listener] {
    const UniqueFd peer(::accept(listener.get(), nullptr, nullptr));
    if (!peer) return;
    char request[64];
    [[maybe_unused]] const auto n = ::read(peer.get(), request, sizeof request);
    const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    [[maybe_unused]] const auto w = ::write(peer.get(), reply.data(), reply.size());
  });
  const TRun run = Run("remoto certificados --servidor " + server);
  ::shutdown(listener.get(), SHUT_RDWR);  // ends a wait in accept, should nobody have come
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
  EXPECT_TRUE(run.err.starts_with("Erro de protocolo: " + server +
                                  " não respondeu como um servidor de assinatura"))
      << run.err;
  EXPECT_NE(run.err.find("\nDetalhe: "), std::string::npos) << run.err;
}

// Relays connections to the signing server, except that the first ADrops of them end as soon
// as the client has sent the execute request of its signing call: the server gets the request, the
// client never gets the reply, as when a server dies in the middle of a call. With AHold they
// stay open instead and the reply is held back, as when the server waits for a token's PIN.
class TDroppingRelay {
 public:
  TDroppingRelay(std::uint16_t ATargetPort, int ADrops, bool AHold = false)
      : FTargetPort(ATargetPort),
        FDrops(ADrops),
        FHold(AHold),
        FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(FListener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(FListener.get(), 8) != 0 ||
        ::getsockname(FListener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("relay: cannot listen");
    FPort = ntohs(address.sin_port);
    FAccepting = std::jthread([this] { Accept(); });
  }
  ~TDroppingRelay() {
    FStop = true;
    FAccepting.join();
    FRelays.clear();  // joins them
  }

  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
  int Connections() const { return FConnections.load(); }

 private:
  static sockaddr_in Loopback(std::uint16_t APort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(APort);
    return address;
  }

  void Accept() {
    while (!FStop) {
      pollfd entry{FListener.get(), POLLIN, 0};
      if (::poll(&entry, 1, 50) != 1) continue;
      UniqueFd client(::accept4(FListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      const bool drop = FConnections.fetch_add(1) < FDrops;
      FRelays.emplace_back(
          [this, drop, c = std::move(client)]() mutable { Relay(std::move(c), drop); });
    }
  }

  // Returning closes both ends.
  void Relay(UniqueFd AClient, bool ADrop) {
    UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in target = Loopback(FTargetPort);
    if (::connect(server.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
      return;
    std::string fromClient;
    bool held = false;
    pollfd ends[2] = {{AClient.get(), POLLIN, 0}, {server.get(), POLLIN, 0}};
    char buffer[16384];
    while (!FStop) {
      if (::poll(ends, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (ends[i].revents == 0) continue;
        const auto count = ::read(ends[i].fd, buffer, sizeof buffer);
        if (count <= 0) return;
        if (i == 1 && held) continue;
        for (ssize_t sent = 0; sent < count;) {
          const auto n =
              ::write(ends[1 - i].fd, buffer + sent, static_cast<std::size_t>(count - sent));
          if (n <= 0) return;
          sent += n;
        }
        // A small request travels uncompressed, its method name readable. Only the signing
        // call breaks: the certificate list asked once per run goes through.
        if (i == 0 && ADrop) {
          fromClient.append(buffer, static_cast<std::size_t>(count));
          const auto signing = fromClient.find("SignDocument");
          if (signing != std::string::npos &&
              fromClient.find("\"execute\"", signing) != std::string::npos) {
            if (!FHold) return;
            held = true;
          }
        }
      }
    }
  }

  const std::uint16_t FTargetPort;
  const int FDrops;
  const bool FHold;
  UniqueFd FListener;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::vector<std::jthread> FRelays;  // touched by the accepting thread only, until it ends
  std::jthread FAccepting;
};

// A connection that breaks before the reply: the file goes again on a new connection and is
// signed as the local command signs it; the outcome says it took two attempts.
TEST_F(RemoteCliTest, BrokenConnectionIsRetriedOnANewOne) {
  Write("nota.xml", kDocument);
  ASSERT_EQ(Run("assinar nota.xml --serie " + FSerial + " --saida local.xml").status, 0);
  TDroppingRelay relay(FServer.dsTCP.BoundPort(), 1);
  const TRun run = Run("remoto assinar nota.xml --serie " + FSerial + " --servidor " +
                       relay.Address() + " --saida saida.xml");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_EQ(run.err, "nota.xml: assinado em saida.xml (2 tentativas)\n");
  EXPECT_EQ(Read("saida.xml"), Read("local.xml"));
  EXPECT_EQ(relay.Connections(), 2);
}

// Several files over one connection: only the file whose connection broke is sent again, as
// often as --tentativas allows, and only its outcome line counts the attempts.
TEST_F(RemoteCliTest, AttemptsAreCountedPerFile) {
  for (const char* name : {"a.xml", "b.xml", "c.xml"}) Write(name, kDocument);
  TDroppingRelay relay(FServer.dsTCP.BoundPort(), 2);
  const TRun run = Run("remoto assinar a.xml b.xml c.xml --serie " + FSerial + " --servidor " +
                       relay.Address() + " --pasta-saida saida --conexoes 1 --tentativas 3");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "a.xml: assinado em saida/a.xml (3 tentativas)\n"
            "b.xml: assinado em saida/b.xml\n"
            "c.xml: assinado em saida/c.xml\n"
            "3 de 3 arquivo(s) assinado(s).\n");
  EXPECT_TRUE(run.err.empty()) << run.err;
  for (const char* name : {"saida/a.xml", "saida/b.xml", "saida/c.xml"})
    EXPECT_TRUE(Verifies(name)) << name;
  EXPECT_EQ(relay.Connections(), 3);
}

TEST_F(RemoteCliTest, BrokenConnectionIsAFailureWhenNoAttemptIsLeft) {
  Write("nota.xml", kDocument);
  TDroppingRelay relay(FServer.dsTCP.BoundPort(), 3);
  const TRun once = Run("remoto assinar nota.xml --serie " + FSerial + " --servidor " +
                        relay.Address() + " --saida saida.xml --tentativas 1");
  EXPECT_EQ(once.status, 1);
  const std::string failure = "Não foi possível assinar \"nota.xml\" com o certificado " + FSerial +
                              ".\nA conexão com o servidor de assinatura em " + relay.Address() +
                              " falhou: o servidor encerrou a conexão antes de responder.\n";
  EXPECT_EQ(once.err, failure);
  EXPECT_EQ(once.err.find("tentativas"), std::string::npos) << once.err;
  EXPECT_FALSE(std::filesystem::exists(Path("saida.xml")));
  EXPECT_EQ(relay.Connections(), 1);

  // The second and last attempt breaks too: the line says both were made.
  const TRun twice = Run("remoto assinar nota.xml --serie " + FSerial + " --servidor " +
                         relay.Address() + " --saida saida.xml");
  EXPECT_EQ(twice.status, 1);
  EXPECT_EQ(twice.err, "nota.xml: ERRO (2 tentativas)\n" + failure);
  EXPECT_FALSE(std::filesystem::exists(Path("saida.xml")));
  EXPECT_EQ(relay.Connections(), 3);
}

// An error text of the service is its answer: never sent again.
TEST_F(RemoteCliTest, ServiceErrorIsNotRetried) {
  Write("nota.xml", kDocument);
  TDroppingRelay relay(FServer.dsTCP.BoundPort(), 0);
  const TRun run = Run("remoto assinar nota.xml --serie FFEE --servidor " + relay.Address() +
                       " --saida saida.xml --tentativas 5");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(
      run.err.starts_with("Não foi possível assinar \"nota.xml\" com o certificado FFEE.\n"
                          "O servidor não tem um certificado com esse número de série"))
      << run.err;
  EXPECT_EQ(relay.Connections(), 1);
}

// A reply that does not come within --espera is not asked for again: the server may still be
// working on it (a PIN being typed), and a second request would ask for the PIN again.
TEST_F(RemoteCliTest, NoReplyWithinTheWaitIsNotSentAgain) {
  Write("nota.xml", kDocument);
  TDroppingRelay relay(FServer.dsTCP.BoundPort(), 1, true);
  const TRun run = Run("remoto assinar nota.xml --serie " + FSerial + " --servidor " +
                       relay.Address() + " --saida saida.xml --espera 1 --tentativas 3");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("não respondeu em 1 s; o pedido não foi enviado de novo"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("use --espera"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(Path("saida.xml")));
  EXPECT_EQ(relay.Connections(), 1);
}

// A server whose CLIENTES does not admit this machine ends the connection at once: the
// message says what may be the cause.
TEST_F(RemoteCliTest, AServerThatDoesNotAdmitThisMachinePointsToClientes) {
  FServer.dsSvr.Stop();
  FServer.dsTCP.SetClientNetworks(TClientNetworks::Parse("192.0.2.0/24"));
  FServer.dsTCP.SetPort(0);
  FServer.dsSvr.Start();
  const TRun run =
      Run("remoto certificados --servidor 127.0.0.1:" + std::to_string(FServer.dsTCP.BoundPort()));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("Não foi possível conectar ao servidor de assinatura"))
      << run.err;
  EXPECT_NE(run.err.find("O servidor pode não admitir este computador: veja a chave CLIENTES"),
            std::string::npos)
      << run.err;
}

}  // namespace
