#include <gtest/gtest.h>
#include <p11-kit/p11-kit.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/certstore/pin_source.h"
#include "platform/certstore/pkcs11_tokens.h"
#include "platform/certstore/store.h"
#include "platform/certstore/store_messages.h"
#include "platform/exception.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/signature_check.h"
#include "tests/token/test_tokens.h"

namespace {

// Gives the PINs it was handed, in order, and remembers what it was asked.
class TScriptedPins : public certstore::IPinSource {
 public:
  explicit TScriptedPins(std::deque<std::string> APins) : FPins(std::move(APins)) {}
  std::optional<certstore::TPin> Pin(const certstore::TPinRequest& ARequest,
                                     Text& AWhyNot) override {
    std::lock_guard lock(FLock);
    Asked.push_back(ARequest);
    if (FPins.empty()) {
      AWhyNot = u"digitação cancelada";
      return std::nullopt;
    }
    certstore::TPin pin{FPins.front()};
    FPins.pop_front();
    return pin;
  }
  void Rejected(const certstore::TPinRequest&) override { ++RejectedCount; }

  std::vector<certstore::TPinRequest> Asked;
  int RejectedCount = 0;

 private:
  std::mutex FLock;
  std::deque<std::string> FPins;
};

std::vector<std::string> Listed() {
  IStore3 store;
  store.Open(CAPICOM_CURRENT_USER_STORE, CAPICOM_MY_STORE, CAPICOM_STORE_OPEN_MAXIMUM_ALLOWED);
  const ICertificates2 all = store.Certificates();
  std::vector<std::string> serials;
  for (int i = 1; i <= all.Count(); ++i)
    serials.push_back(text::ToUtf8(all.Item(i)->SerialNumber()));
  return serials;
}

struct TSigned {
  Text Document;
  Text Status;
};

TSigned Sign(const char* ASerial) {
  const Text document = text::FromUtf8(
      TScratchDirectory::ReadBytes(std::filesystem::path{ASSINADOR_TEST_DATA} / "nfse_sample.xml"));
  TSigned result;
  try {
    const ICertificate2Ptr certificate =
        TDigitalCertificate().getCertificateBySerial(text::FromUtf8(ASerial));
    TSignerNFSEDocument().sign(document, *certificate, result.Document, result.Status);
  } catch (const std::exception& e) {
    result.Status = MessageOf(e);
  }
  return result;
}

std::string Utf8(const Text& AText) { return text::ToUtf8(AText); }

class TokenStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!TTestTokens::Available()) GTEST_SKIP() << "SoftHSM2 or pkcs11-tool missing";
    Tokens().SetRemoved(false);
    Tokens().SetRemoveOnSign(false);
    Tokens().SetKeypad("");
    Tokens().SetPinFinalTry(false);
    Tokens().SetPinLocked(false);
  }
  void TearDown() override { certstore::SetPinSource(nullptr); }

  static TTestTokens& Tokens() { return TTestTokens::Get(); }

  // Pulls the tokens out and puts them back: whatever was logged in is logged out.
  static void Replug() {
    Tokens().SetRemoved(true);
    Listed();
    Tokens().SetRemoved(false);
    Listed();
  }

  std::shared_ptr<TScriptedPins> UsePins(std::deque<std::string> APins) {
    auto pins = std::make_shared<TScriptedPins>(std::move(APins));
    certstore::SetPinSource(pins);
    return pins;
  }
};

TEST_F(TokenStoreTest, TokensAreListedAfterFiles) {
  Tokens();
  test_certificates::TTestStore files;  // a file entry of its own, first in the listing
  std::string fileSerial;
  files.Add(test_certificates::TCertificateRequest("arquivo.pem"), &fileSerial);
  std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed.front(), fileSerial);
  // Slots and objects come in the module's order, which SoftHSM2 does not fix.
  std::sort(listed.begin() + 1, listed.end());
  EXPECT_EQ(listed,
            (std::vector<std::string>{fileSerial, TTestTokens::kSerialWithKey,
                                      TTestTokens::kSerialWithoutKey, TTestTokens::kSerialSecond}));
}

TEST_F(TokenStoreTest, SignsWithTheKeyOnTheTokenAndTheResultVerifies) {
  Replug();
  const auto pins = UsePins({TTestTokens::kPin, TTestTokens::kPin});
  for (const char* serial : {TTestTokens::kSerialWithKey, TTestTokens::kSerialSecond}) {
    const TSigned result = Sign(serial);
    ASSERT_EQ(Utf8(result.Status), "OK") << serial;
    EXPECT_EQ(signature_check::VerifyWithXmlsec1(result.Document), "") << serial;
    if (serial == TTestTokens::kSerialWithKey) pins->Asked.clear();
  }
  // The second token asked for its own PIN, naming itself and the certificate's holder.
  ASSERT_EQ(pins->Asked.size(), 1u);
  EXPECT_EQ(Utf8(pins->Asked[0].TokenLabel), "Token Dois");
  EXPECT_EQ(Utf8(pins->Asked[0].Holder), "SEGUNDA EMPRESA LTDA");
}

TEST_F(TokenStoreTest, StaysLoggedInUntilPulledOut) {
  Replug();
  const auto pins = UsePins({TTestTokens::kPin, TTestTokens::kPin});
  ASSERT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  ASSERT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  EXPECT_EQ(pins->Asked.size(), 1u);
  Replug();
  ASSERT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  EXPECT_EQ(pins->Asked.size(), 2u);
}

TEST_F(TokenStoreTest, WrongPinOnceThenTheRightOne) {
  Replug();
  const auto before = Tokens().FailedLogins();
  const auto pins = UsePins({"0000", TTestTokens::kPin});
  const TSigned wrong = Sign(TTestTokens::kSerialWithKey);
  EXPECT_NE(Utf8(wrong.Status).find("[SignerNFSEDocument]"), std::string::npos);
  EXPECT_NE(Utf8(wrong.Status).find("Token \"Token Teste\": PIN incorreto"), std::string::npos)
      << Utf8(wrong.Status);
  EXPECT_EQ(Utf8(wrong.Status).find("0000"), std::string::npos);
  EXPECT_TRUE(wrong.Document.empty());
  EXPECT_EQ(pins->RejectedCount, 1);
  EXPECT_EQ(pins->Asked.size(), 1u) << "a refused PIN ends the call, it is not asked twice";
  EXPECT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  EXPECT_EQ(Tokens().FailedLogins() - before, 1u);
}

TEST_F(TokenStoreTest, WrongPinFileIsNotRetriedUntilItChanges) {
  Replug();
  TScratchDirectory dir;
  const auto file = dir / "pin";
  TScratchDirectory::WriteBytes(file, "9999\n");
  ::chmod(file.c_str(), 0600);
  certstore::SetPinSource(std::make_shared<certstore::TPinFileSource>(file.string()));
  const auto before = Tokens().FailedLogins();
  EXPECT_NE(Utf8(Sign(TTestTokens::kSerialWithKey).Status).find("PIN incorreto"),
            std::string::npos);
  for (int i = 0; i < 3; ++i) {
    const std::string status = Utf8(Sign(TTestTokens::kSerialWithKey).Status);
    EXPECT_NE(status.find("já foi recusado por este token"), std::string::npos) << status;
  }
  EXPECT_EQ(Tokens().FailedLogins() - before, 1u);

  TScratchDirectory::WriteBytes(file, std::string{TTestTokens::kPin} + "\n");
  EXPECT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  EXPECT_EQ(Tokens().FailedLogins() - before, 1u);
}

TEST_F(TokenStoreTest, PinFilesOthersCanReadAreRefused) {
  Replug();
  TScratchDirectory dir;
  const auto file = dir / "pin";
  TScratchDirectory::WriteBytes(file, std::string{TTestTokens::kPin} + "\n");
  ::chmod(file.c_str(), 0644);
  certstore::SetPinSource(std::make_shared<certstore::TPinFileSource>(file.string()));
  const std::string status = Utf8(Sign(TTestTokens::kSerialWithKey).Status);
  EXPECT_NE(status.find("pode ser lido por outros usuários"), std::string::npos) << status;
}

TEST_F(TokenStoreTest, FailuresEndTheCallWithTheirReason) {
  struct TCase {
    const char* name;
    const char* serial;
    std::deque<std::string> pins;
    bool noSource;
    const char* expected;
  };
  const TCase cases[] = {
      {"cancelled",
       TTestTokens::kSerialWithKey,
       {},
       false,
       "Token \"Token Teste\": PIN não informado (digitação cancelada)"},
      {"no source",
       TTestTokens::kSerialWithKey,
       {},
       true,
       "PIN não informado (este programa não tem de onde obter o PIN"},
      {"no key on the token",
       TTestTokens::kSerialWithoutKey,
       {TTestTokens::kPin},
       false,
       "O certificado não possui chave privada acessível"},
  };
  for (const TCase& c : cases) {
    Replug();
    if (c.noSource) {
      certstore::SetPinSource(nullptr);
    } else {
      UsePins(c.pins);
    }
    const TSigned result = Sign(c.serial);
    EXPECT_NE(Utf8(result.Status).find(c.expected), std::string::npos)
        << c.name << ": " << Utf8(result.Status);
    EXPECT_TRUE(result.Document.empty()) << c.name;
  }
}

TEST_F(TokenStoreTest, APinPadLogsInOnTheDevice) {
  Replug();
  Tokens().SetKeypad(TTestTokens::kPin);
  const auto pins = UsePins({});
  EXPECT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
  EXPECT_TRUE(pins->Asked.empty()) << "the program never asks for a PIN the device takes";
}

TEST_F(TokenStoreTest, ThePinCounterIsSaidPlainly) {
  // One more wrong PIN locks it: the refusal says so, and the prompt was told.
  Replug();
  Tokens().SetPinFinalTry(true);
  const auto pins = UsePins({"0000"});
  const std::string lastTry = Utf8(Sign(TTestTokens::kSerialWithKey).Status);
  EXPECT_NE(lastTry.find("PIN incorreto; mais uma tentativa errada bloqueia o PIN"),
            std::string::npos)
      << lastTry;
  ASSERT_EQ(pins->Asked.size(), 1u);
  EXPECT_TRUE(pins->Asked[0].FinalTry);

  // Locked: no PIN is asked for, let alone tried.
  Replug();
  Tokens().SetPinLocked(true);
  const auto before = Tokens().FailedLogins();
  const auto unused = UsePins({TTestTokens::kPin});
  const std::string locked = Utf8(Sign(TTestTokens::kSerialWithKey).Status);
  EXPECT_NE(locked.find("o PIN está bloqueado; desbloqueie-o com o PUK"), std::string::npos)
      << locked;
  EXPECT_TRUE(unused->Asked.empty());
  EXPECT_EQ(Tokens().FailedLogins(), before);
}

TEST_F(TokenStoreTest, PulledOutBetweenCallsAndDuringOne) {
  Replug();
  // Each insertion logs in anew.
  UsePins({TTestTokens::kPin, TTestTokens::kPin, TTestTokens::kPin});
  ASSERT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");

  Tokens().SetRemoved(true);
  EXPECT_EQ(Listed(), std::vector<std::string>{});
  const std::string gone = Utf8(Sign(TTestTokens::kSerialWithKey).Status);
  EXPECT_NE(gone.find("[Certificado]"), std::string::npos) << gone;  // not in the store now
  Tokens().SetRemoved(false);

  Tokens().SetRemoveOnSign(true);
  const TSigned during = Sign(TTestTokens::kSerialWithKey);
  EXPECT_NE(Utf8(during.Status).find("o token foi retirado durante a assinatura"),
            std::string::npos)
      << Utf8(during.Status);
  EXPECT_TRUE(during.Document.empty());
  Tokens().SetRemoveOnSign(false);
  Tokens().SetRemoved(false);
  // Back in: it logs in again and signs.
  EXPECT_EQ(Utf8(Sign(TTestTokens::kSerialWithKey).Status), "OK");
}

TEST_F(TokenStoreTest, ConnectionsTakeTurnsOnOneToken) {
  Replug();
  UsePins({TTestTokens::kPin});
  const auto overlapsBefore = Tokens().OverlappingSignatures();
  std::atomic<int> verified{0};
  std::vector<std::string> failures;
  std::mutex failuresLock;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const TSigned result = Sign(TTestTokens::kSerialWithKey);
        std::string why = Utf8(result.Status) == "OK"
                              ? signature_check::VerifyInProcess(result.Document)
                              : Utf8(result.Status);
        if (why.empty()) {
          ++verified;
        } else {
          std::lock_guard lock(failuresLock);
          failures.push_back(why);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(verified.load(), 400) << (failures.empty() ? "" : failures.front());
  EXPECT_EQ(Tokens().OverlappingSignatures(), overlapsBefore);
}

TEST_F(TokenStoreTest, ATurnWaitedForTooLongEndsWithAClearError) {
  // A store of its own over the same module, with a short wait (the server's is two minutes).
  CK_FUNCTION_LIST* module = p11_kit_module_load(FAULT_PKCS11_MODULE, 0);
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(p11_kit_module_initialize(module), CKR_OK);
  {
    certstore::TTokenStore store({module}, std::chrono::milliseconds(50));
    ICertificate2Ptr certificate;
    for (const ICertificate2Ptr& listed : store.Certificates())
      if (listed->SerialNumber() == text::FromUtf8(TTestTokens::kSerialWithKey))
        certificate = listed;
    ASSERT_NE(certificate, nullptr);
    const std::shared_ptr<void> held = certificate->ReserveKey();
    std::string busy;
    std::thread other([&] {
      try {
        certificate->ReserveKey();
      } catch (const std::exception& e) {
        busy = e.what();
      }
    });
    other.join();
    EXPECT_EQ(
        busy,
        "Token \"Token Teste\": o token está ocupado com outras assinaturas há mais de 1 s; tente "
        "de novo");
  }
  p11_kit_module_finalize(module);
  p11_kit_module_release(module);
}

}  // namespace
