// The password of a signing server from the command line: "senha" makes the hash the server's
// INI file holds, and "remoto ... --usuario" connects with the user and its password, to a
// signing server in this process that asks for them and to one that does not.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/container/server_container.h"
#include "platform/password_hash.h"
#include "tests/support/error_of.h"
#include "tests/support/fake_dbx_server.h"
#include "tests/tools/cli_fixture.h"
#include "transport/client/dbx_client.h"
#include "transport/protocol_names.h"
#include "transport/server/password_authentication.h"

namespace {

using password_hash::TPasswordHash;

TEST_F(CliTest, SenhaPrintsAHashOfThePasswordOfTheFileOrOfStandardInput) {
  Write("senha.txt", "s3nha çegura\r\nsegunda linha\n");
  const TRun fromFile = Run("senha --senha-arquivo senha.txt");
  ASSERT_EQ(fromFile.status, 0) << fromFile.err;
  EXPECT_TRUE(fromFile.err.empty()) << fromFile.err;
  ASSERT_TRUE(fromFile.out.ends_with("\n"));
  const std::string line = fromFile.out.substr(0, fromFile.out.size() - 1);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const TPasswordHash hash = TPasswordHash::Parse(line);
  EXPECT_EQ(hash.Iterations(), password_hash::kDefaultIterations);
  EXPECT_TRUE(hash.Verify("s3nha çegura"));
  EXPECT_FALSE(hash.Verify("s3nha çegura\r"));

  const TRun fromInput = Run("senha", "outra\n");
  ASSERT_EQ(fromInput.status, 0) << fromInput.err;
  EXPECT_TRUE(
      TPasswordHash::Parse(fromInput.out.substr(0, fromInput.out.size() - 1)).Verify("outra"));
}

TEST_F(CliTest, SenhaRefusesAnEmptyPasswordAndBadArguments) {
  Write("vazia.txt", "\n");
  struct Case {
    const char* name;
    std::string arguments;
    int status;
    std::string message;
  };
  const Case kCases[] = {
      {"empty file", "senha --senha-arquivo vazia.txt", 1,
       "A senha está vazia; nenhum hash foi escrito."},
      {"nothing on standard input", "senha", 1,
       "Nenhuma senha foi lida: a entrada padrão está vazia."},
      {"missing file", "senha --senha-arquivo nao-existe.txt", 1,
       "Não foi possível abrir \"nao-existe.txt\""},
      {"extra argument", "senha minhasenha", 2, "argumento inesperado para senha: \"minhasenha\""},
      {"empty file name", "senha --senha-arquivo ''", 2,
       "o nome do arquivo de senha (--senha-arquivo) está vazio."},
      {"unknown option", "senha --usuario caixa", 2, "opção desconhecida: \"--usuario\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

// A signing server in this process that asks for "caixa" and its password.
class PasswordCliTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    FServer.dsTCP.SetAuthenticationManager(&FManager);
    FServer.dsTCP.SetPort(0);
    FServer.dsSvr.Start();
    FAddress = "127.0.0.1:" + std::to_string(FServer.dsTCP.BoundPort());
    Write("senha.txt", "s3nha!\n");
    ::chmod(Path("senha.txt").c_str(), 0600);
    Write("errada.txt", "s3nha?\n");
  }
  void TearDown() override { FServer.dsSvr.Stop(); }

  // Before the server that borrows it, and gone after it.
  TPasswordAuthenticationManager FManager{u"caixa", TPasswordHash::Make("s3nha!", 1000)};
  TSC FServer{[](TLogLevel, const Text&) {}};
  std::string FAddress;
};

TEST_F(PasswordCliTest, RightUserAndPasswordListAndSign) {
  const TRun list = Run("remoto certificados --servidor " + FAddress +
                        " --usuario caixa --senha-arquivo senha.txt");
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("EMPRESA EXEMPLO LTDA"), std::string::npos) << list.out;

  Write("a.xml", kDocument);
  Write("b.xml", kDocument);
  const TRun sign = Run("remoto assinar a.xml b.xml --serie " + FSerial + " --servidor " +
                            FAddress + " --pasta-saida assinadas --conexoes 2 --usuario=caixa",
                        "s3nha!\n");
  EXPECT_EQ(sign.status, 0) << sign.err;
  EXPECT_TRUE(Verifies("assinadas/a.xml"));
  EXPECT_TRUE(Verifies("assinadas/b.xml"));
}

TEST_F(PasswordCliTest, WrongOrMissingCredentialsAreRefusedWithTheirOwnSentence) {
  Write("a.xml", kDocument);
  struct Case {
    const char* name;
    std::string options;
    std::string message;
  };
  const std::string refused =
      "O servidor de assinatura em " + FAddress + " recusou o usuário \"caixa\" ou a senha.\n";
  const Case kCases[] = {
      {"wrong password", " --usuario caixa --senha-arquivo errada.txt", refused},
      {"wrong user", " --usuario gerente --senha-arquivo senha.txt",
       "O servidor de assinatura em " + FAddress + " recusou o usuário \"gerente\" ou a senha.\n"},
      {"no user", "",
       "O servidor de assinatura em " + FAddress +
           " pede usuário e senha: informe o usuário com --usuario.\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun list = Run("remoto certificados --servidor " + FAddress + c.options);
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(list.out.empty()) << list.out;
    EXPECT_EQ(list.err, c.message);
    const TRun sign = Run("remoto assinar a.xml --serie " + FSerial + " --servidor " + FAddress +
                          " --saida assinado.xml" + c.options);
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.err, c.message);
    EXPECT_FALSE(std::filesystem::exists(Path("assinado.xml")));
  }
}

// On the wire: the written authentication error, code 0, and a connection that may call nothing.
TEST_F(PasswordCliTest, RefusedConnectIsTheCodeZeroErrorAndAllowsNoCall) {
  TDBXClient client("127.0.0.1", FServer.dsTCP.BoundPort());
  client.Open();
  const TRaisedError refused = ErrorOf([&] {
    client.Connect({{u"DSAuthenticationUser", u"caixa"}, {u"DSAuthenticationPassword", u"x"}});
  });
  EXPECT_EQ(refused.Code, protocol_names::kAuthenticationRejectedCode);
  EXPECT_NE(refused.Utf8().find(protocol_names::kAuthenticationRejected), std::string::npos)
      << refused.Utf8();
  EXPECT_NE(ErrorOf([&] { client.CallTextMethod(u"TSMSignService.getListCertificate", {}); }).Code,
            -1);
  // The same connection may try again.
  client.Connect({{u"DSAuthenticationUser", u"caixa"}, {u"DSAuthenticationPassword", u"s3nha!"}});
  EXPECT_NE(client.CallTextMethod(u"TSMSignService.getListCertificate", {}).find(u"EMPRESA"),
            Text::npos);
}

TEST_F(CliTest, UsuarioUsageErrors) {
  struct Case {
    const char* name;
    std::string arguments;
    std::string message;
  };
  const Case kCases[] = {
      {"empty user", "remoto certificados --servidor h --usuario ''",
       "o nome do usuário (--usuario) está vazio."},
      {"password file without user", "remoto certificados --servidor h --senha-arquivo s.txt",
       "--senha-arquivo só vale com --usuario."},
      {"empty password file",
       "remoto assinar a.xml --serie 01 --servidor h --usuario u "
       "--senha-arquivo ''",
       "o nome do arquivo de senha (--senha-arquivo) está vazio."},
      {"password and document on standard input",
       "remoto assinar - --serie 01 --servidor h --usuario u",
       "com --usuario e o documento na entrada padrão (-), leia a senha de --senha-arquivo."},
      {"local signing has no user", "assinar a.xml --serie 01 --usuario u",
       "opção desconhecida: \"--usuario\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TRun run = Run(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

// Without --usuario the connect request is the one clients always sent; with it, the two
// properties the server's sessions read.
TEST_F(CliTest, ConnectCarriesTheCredentialsOnlyWhenAUserIsGiven) {
  Write("senha.txt", "s3nha!\n");
  struct Case {
    const char* name;
    std::string options;
    std::string connect;
  };
  const Case kCases[] = {
      {"no user", "", R"({"method":"connect","params":[{}]})"},
      {"user", " --usuario caixa --senha-arquivo senha.txt",
       R"({"method":"connect","params":[{"DSAuthenticationUser":"caixa","DSAuthenticationPassword":"s3nha!"}]})"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test_support::TFakeDBXServer server;
    server.Start([&](test_support::TFakeDBXServer& s) {
      s.Expect(c.connect);
      s.Close();
    });
    const TRun run = Run(
        "remoto certificados --servidor 127.0.0.1:" + std::to_string(server.Port()) + c.options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(server.Finish(), "");
  }
}

}  // namespace
