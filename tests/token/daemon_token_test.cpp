// The server without a window signing with a token's key for a client over the wire, with the
// PIN from a file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/app/daemon_process.h"
#include "tests/support/free_port.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/signature_check.h"
#include "tests/token/test_tokens.h"

namespace {

class DaemonTokenTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!TTestTokens::Available()) GTEST_SKIP() << "SoftHSM2 or pkcs11-tool missing";
    TTestTokens::Get().SetRemoved(false);
    TTestTokens::Get().SetRemoveOnSign(false);
    FPort = FreePort();
    TScratchDirectory::WriteBytes(FDir / "servidor.ini",
                                  "[CONFIGURACAO]\r\nPORTA=" + std::to_string(FPort) + "\r\n");
  }

  std::unique_ptr<TDaemonProcess> Start(const std::string& APin) {
    TScratchDirectory::WriteBytes(FPinFile, APin + "\n");
    ::chmod(FPinFile.c_str(), 0600);
    auto daemon = std::make_unique<TDaemonProcess>(
        std::vector<std::string>{"--config", (FDir / "servidor.ini").string(), "--log",
                                 FLog.string(), "--pin-arquivo", FPinFile.string()},
        FDir / "stderr.txt");
    const auto line = daemon->ReadLine();
    EXPECT_TRUE(line && line->find(std::to_string(FPort)) != std::string::npos)
        << (line ? *line : "(no line)") << daemon->Errors();
    return daemon;
  }

  // remoto assinar of the sample; its exit status, with what it wrote and said.
  int RemoteSign(std::string& ASigned, std::string& AErrors) {
    const std::string out = (FDir / "assinado.xml").string();
    std::filesystem::remove(out);
    const std::string command = std::string{"LC_ALL=C.UTF-8 '"} + ASSINADOR_BINARY_DIR +
                                "/assinador-nfse-cli' remoto assinar '" + ASSINADOR_TEST_DATA +
                                "/nfse_sample.xml' --serie " + TTestTokens::kSerialWithKey +
                                " --servidor 127.0.0.1:" + std::to_string(FPort) + " --saida '" +
                                out + "' 2>'" + (FDir / "cli-stderr.txt").string() + "'";
    const int status = std::system(command.c_str());
    ASigned = TScratchDirectory::ReadBytes(out);
    AErrors = TScratchDirectory::ReadBytes(FDir / "cli-stderr.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TScratchDirectory FDir;
  std::filesystem::path FLog = FDir / "servidor.log";
  std::filesystem::path FPinFile = FDir / "pin";
  std::uint16_t FPort = 0;
};

TEST_F(DaemonTokenTest, SignsOverTheWireWithThePinFromAFile) {
  const auto daemon = Start(TTestTokens::kPin);
  std::string signedXml;
  std::string errors;
  ASSERT_EQ(RemoteSign(signedXml, errors), 0) << errors << daemon->Errors();
  EXPECT_EQ(signature_check::VerifyWithXmlsec1(text::FromUtf8(signedXml)), "");
}

TEST_F(DaemonTokenTest, AWrongPinFileCostsOneAttemptAndNeverReachesTheJournalOrTheReply) {
  const std::string wrongPin = "918273";
  const auto before = TTestTokens::Get().FailedLogins();
  const auto daemon = Start(wrongPin);
  for (int i = 0; i < 3; ++i) {
    std::string signedXml;
    std::string errors;
    EXPECT_EQ(RemoteSign(signedXml, errors), 1);
    EXPECT_TRUE(signedXml.empty());
    EXPECT_NE(errors.find("Token \"Token Teste\""), std::string::npos) << errors;
    EXPECT_EQ(errors.find(wrongPin), std::string::npos) << errors;
  }
  EXPECT_EQ(TTestTokens::Get().FailedLogins() - before, 1u);
  daemon->Signal(SIGTERM);
  daemon->Wait();
  EXPECT_EQ(TScratchDirectory::ReadBytes(FLog).find(wrongPin), std::string::npos);
  EXPECT_EQ(daemon->Errors().find(wrongPin), std::string::npos);
}

}  // namespace
