// The client library against the real server container: what the command-line tool and the
// integrators' applications see over loopback, with and without compression.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/container/server_container.h"
#include "platform/text.h"
#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"
#include "transport/client/dbx_client.h"
#include "transport/stream/json_error_reply.h"

namespace {

Text ReadSample(const std::string& AName) {
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/" + AName, std::ios::binary);
  return text::FromUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
}

// A batch of RPS of about ABytes, signed as a whole at its placeholder.
Text Batch(std::size_t ABytes) {
  Text xml = u"<EnviarLoteRpsEnvio><LoteRps Id=\"lote1\">";
  for (int i = 0; xml.size() < ABytes; ++i) {
    xml += u"<Rps><Numero>" + text::FromAscii(std::to_string(i)) +
           u"</Numero><Discriminacao>Serviço de manutenção — São Paulo, ÿ e € também"
           u"</Discriminacao></Rps>";
  }
  return xml + u"</LoteRps><assinatura/></EnviarLoteRpsEnvio>";
}

class ClientServerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    FStore.Add(test_certificates::Certificate("empresa.pem"), &FSerial);
    FServer.dsTCP.SetPort(0);
    FServer.dsSvr.Start();
  }

  std::unique_ptr<TDBXClient> Connected() {
    TDBXClientOptions options;
    options.Compression = GetParam();
    auto client = std::make_unique<TDBXClient>("127.0.0.1", FServer.dsTCP.BoundPort(), options);
    client->Open();
    const TDBXConnectReply reply = client->Connect();
    EXPECT_EQ(reply.ProductName, u"DataSnap");
    EXPECT_EQ(reply.ProtocolVersion, 2);
    return client;
  }

  test_certificates::TTestStore FStore;
  std::string FSerial;
  TSC FServer{[](TLogLevel, const Text&) {}};
};

TEST_P(ClientServerTest, ListsAndSignsDocumentsThatVerify) {
  const std::unique_ptr<TDBXClient> connected = Connected();
  TDBXClient& client = *connected;
  EXPECT_NE(client.CallTextMethod(u"TSMSignService.getListCertificate", {})
                .find(u"=serial=" + text::FromAscii(FSerial)),
            Text::npos);
  const Text serial = text::FromAscii(FSerial);

  const Text sample = client.CallTextMethod(u"TSMSignService.SignDocument",
                                            {ReadSample("nfse_sample.xml"), serial});
  EXPECT_EQ(signature_check::VerifyWithXmlsec1(sample), "") << text::ToUtf8(sample);

  // 2 MB each way: the request's text and the signed result both continue through more_blob.
  const Text batch = Batch(2 * 1024 * 1024);
  const Text signedBatch = client.CallTextMethod(u"TSMSignService.SignDocument", {batch, serial});
  ASSERT_GT(signedBatch.size(), batch.size());
  EXPECT_EQ(signature_check::VerifyInProcess(signedBatch), "");

  // A failure of the service is a result text, and the connection goes on serving.
  EXPECT_TRUE(client.CallTextMethod(u"TSMSignService.SignDocument", {sample, u"FFEE"})
                  .starts_with(u"[SignerNFSEDocumentRemoteAdapter]"));
  EXPECT_EQ(client.CallTextMethod(u"DSAdmin.GetPlatformName", {}), u"win32");
}

TEST_P(ClientServerTest, ErrorRepliesBecomeExceptionsAndTheConnectionStays) {
  const std::unique_ptr<TDBXClient> connected = Connected();
  TDBXClient& client = *connected;
  try {
    client.CallTextMethod(u"TSMSignService.Nope", {});
    ADD_FAILURE() << "an unknown method must be refused";
  } catch (const TDBXRemoteError& e) {
    EXPECT_EQ(e.ErrorCode(), 105);
    EXPECT_EQ(std::string(e.what()),
              "Remote error: TSMSignService.Nope method not found in the server method list");
  }
  EXPECT_EQ(client.CallTextMethod(u"DSAdmin.GetDSServerName", {}), u"dsSvr");
}

INSTANTIATE_TEST_SUITE_P(Compression, ClientServerTest, ::testing::Bool(),
                         [](const auto& AInfo) { return AInfo.param ? "On" : "Off"; });

}  // namespace

namespace {

// Failed signings of remote clients reach the journal with the client's own address, the
// serial and the error text, without the document; a client that keeps failing gets one record
// a minute. The replies are the service's texts, unchanged.
TEST(ServerJournalTest, RecordsRefusedSignaturesWithTheClientsAddress) {
  test_certificates::TTestStore store;
  std::string serial;
  store.Add(test_certificates::Certificate("empresa.pem"), &serial);
  std::mutex lock;
  std::vector<Text> records;
  TSC server{[&](TLogLevel, const Text& AMessage) {
    std::lock_guard guard(lock);
    records.push_back(AMessage);
  }};
  server.dsTCP.SetPort(0);
  server.dsSvr.Start();
  const Text secret = u"<nfse>segredo do cliente";
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    TDBXClient client(host, server.dsTCP.BoundPort());
    try {
      client.Open();
    } catch (const TDBXError&) {
      if (std::string(host) == "::1") GTEST_SKIP() << "no IPv6 loopback on this machine";
      throw;
    }
    client.Connect();
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(
          client.CallTextMethod(u"TSMSignService.SignDocument", {secret, text::FromAscii(serial)})
              .starts_with(u"[SignerNFSEDocument] Erro na Assinatura do Documento.\r"
                           u"[TSignerNFSEDocument] Não foi possível carregar o arquivo: "
                           u"<nfse>segredo"));
    EXPECT_TRUE(client
                    .CallTextMethod(u"TSMSignService.SignDocument",
                                    {ReadSample("nfse_sample.xml"), text::FromAscii(serial)})
                    .starts_with(u"<"));
  }
  std::lock_guard guard(lock);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(
      records[0].starts_with(u"[Negócio] Assinatura recusada ao cliente 127.0.0.1 "
                             u"(certificado " +
                             text::FromAscii(serial) + u").\r"))
      << text::ToUtf8(records[0]);
  EXPECT_TRUE(records[1].starts_with(u"[Negócio] Assinatura recusada ao cliente ::1 "))
      << text::ToUtf8(records[1]);
  for (const Text& record : records) EXPECT_EQ(record.find(u"segredo"), Text::npos);
}

}  // namespace
