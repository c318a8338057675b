// The command-line signer asking a token's PIN on its terminal, driven through a pseudo-terminal
// as a person would type: a wrong PIN costs the token at most two failed logins in a run of
// several files, whatever the person keeps typing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/scratch_directory.h"
#include "tests/token/test_tokens.h"

namespace {

// Starts the program under a pseudo-terminal and types ATyped after every PIN prompt (each
// prompt is answered once it has been shown: the terminal's input is flushed as it asks).
constexpr const char* kTypist = R"(
import os, pty, select, sys, time
program, typed = sys.argv[1], sys.argv[2].encode() + b"\n"
pid, fd = pty.fork()
if pid == 0:
    os.execv(program, [program] + sys.argv[3:])
seen, answered, deadline = b"", 0, time.time() + 120
while time.time() < deadline:
    ready, _, _ = select.select([fd], [], [], 0.5)
    if fd not in ready:
        continue
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    seen += data
    while seen.count(b"PIN do token") > answered:
        time.sleep(0.3)
        os.write(fd, typed)
        answered += 1
_, status = os.waitpid(pid, 0)
sys.stdout.write(seen.decode("utf-8", "replace"))
sys.stdout.write("\nRESPOSTAS %d SAIDA %d\n" % (answered, os.waitstatus_to_exitcode(status)))
)";

class TerminalPinTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!TTestTokens::Available()) GTEST_SKIP() << "SoftHSM2 or pkcs11-tool missing";
    if (std::system("command -v python3 >/dev/null") != 0) GTEST_SKIP() << "python3 missing";
    TTestTokens::Get().SetRemoved(false);
    TTestTokens::Get().SetRemoveOnSign(false);
    TScratchDirectory::WriteBytes(FDir / "digitador.py", kTypist);
  }

  std::string TypeAtEveryPrompt(const std::string& APin, int AFiles) {
    std::string files;
    for (int i = 0; i < AFiles; ++i) {
      const auto file = FDir / ("nota" + std::to_string(i) + ".xml");
      TScratchDirectory::WriteBytes(file, "<nfse><inf Id=\"n1\">x</inf><assinatura/></nfse>");
      files += " '" + file.string() + "'";
    }
    const std::string command = "LC_ALL=C.UTF-8 python3 '" + (FDir / "digitador.py").string() +
                                "' '" + ASSINADOR_BINARY_DIR + "/assinador-nfse-cli' '" + APin +
                                "' assinar" + files + " --serie " + TTestTokens::kSerialWithKey +
                                " --pasta-saida '" + (FDir / "saida").string() + "' >'" +
                                (FDir / "tela.txt").string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return TScratchDirectory::ReadBytes(FDir / "tela.txt");
  }

  TScratchDirectory FDir;
};

TEST_F(TerminalPinTest, AWrongPinIsAskedOnceMoreThenNoMore) {
  const auto before = TTestTokens::Get().FailedLogins();
  const std::string screen = TypeAtEveryPrompt("918273", 3);
  EXPECT_EQ(TTestTokens::Get().FailedLogins() - before, 2u) << screen;
  EXPECT_NE(screen.find("RESPOSTAS 2 SAIDA 1"), std::string::npos) << screen;
  EXPECT_NE(screen.find("o PIN anterior foi recusado"), std::string::npos) << screen;
  EXPECT_NE(screen.find("nenhum outro é pedido, para não bloquear o token"), std::string::npos)
      << screen;
  EXPECT_EQ(screen.find("918273"), std::string::npos) << "the PIN is never echoed";

  // The right PIN signs every file with one prompt: the token stays logged in.
  const std::string signedRun = TypeAtEveryPrompt(TTestTokens::kPin, 3);
  EXPECT_NE(signedRun.find("RESPOSTAS 1 SAIDA 0"), std::string::npos) << signedRun;
}

}  // namespace
