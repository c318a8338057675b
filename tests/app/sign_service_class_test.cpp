#include "app/container/sign_service_class.h"

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "server/service/sm_sign_service.h"
#include "tests/support/test_certificates.h"
#include "tests/transport/server/probe_class.h"
#include "transport/server/method_provider.h"
#include "transport/server/provider_adapter.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"

namespace {

const Text kAdapterError = u"[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do Documento.\r";
const Text kLookupError = u"[Certificado] Erro ao Obter o Certificado!\r";

// Every alias the server registers, in registration order.
const std::vector<Text> kRegisteredAliases = probe::Concat(
    probe::kBuiltInAliases, {u"TSMSignService.getListCertificate", u"TSMSignService.SignDocument",
                             u"TSMSignService.AS_ApplyUpdates", u"TSMSignService.AS_GetRecords",
                             u"TSMSignService.AS_DataRequest",
                             u"TSMSignService.AS_GetProviderNames", u"TSMSignService.AS_GetParams",
                             u"TSMSignService.AS_RowRequest", u"TSMSignService.AS_Execute"});

// The container's server and server class, with hooks that count the service instances and
// give them a journal of their own.
class SignServiceClassTest : public testing::Test {
 protected:
  void SetUp() override {
    FServer.SetName(u"dsSvr");
    FServerClass.OnGetClass = DSServerClass1GetClass;
    FServerClass.OnCreateInstance = [this](TDSCreateInstanceEventObject& AEvent) {
      ++FCreated;
      AEvent.ServerClassInstance = MakeInstance<TSMSignService>(
          [this](TLogLevel, const Text& AMessage) { FLogged.push_back(AMessage); });
    };
    FServerClass.OnDestroyInstance = [this](TDSDestroyInstanceEventObject& AEvent) {
      FDestroyed.push_back(AEvent.ServerClassInstance.get());
    };
    FServerClass.SetServer(&FServer);
    FServer.Start();
  }

  std::unique_ptr<TDSServerMethod> Prepare(TDSServerConnection& AConnection, TextView AText) {
    return FServer.ServerMethodProvider()->PrepareMethod(AConnection, AText);
  }

  test_certificates::TTestStore FStore;
  std::vector<Text> FLogged;
  int FCreated = 0;
  std::vector<void*> FDestroyed;  // the service instances, as the destroy hook saw them
  TDSServerClass FServerClass;
  TDSServer FServer;
};

TEST_F(SignServiceClassTest, RegistersTheServiceAfterTheBuiltInsWithTheAdapterMethods) {
  std::vector<Text> aliases;
  for (const auto& method : FServer.ServerMethodProvider()->Methods())
    aliases.push_back(method->MethodAlias);
  EXPECT_EQ(aliases, kRegisteredAliases);

  const auto classes = FServer.ServerMethodProvider()->Classes();
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_EQ(classes[2]->ClassName, u"TSMSignService");
  EXPECT_EQ(classes[2]->UnitName, u"server.service.SMSignService");
  EXPECT_EQ(classes[2]->LifeCycle, u"Session");
  EXPECT_TRUE(classes[2]->DSClass.IsAdapted);
  EXPECT_EQ(classes[2]->DSClass.Description, &ProviderDataModuleAdapterClass());
}

TEST_F(SignServiceClassTest, DSAdminListsEveryAliasTheServiceIncluded) {
  TDSServerConnection connection(&FServer);
  const auto method = Prepare(connection, u"DSAdmin.GetServerMethods");
  method->Invoke();
  const auto& table = std::get<TDBXTablePtr>(method->Parameters().back().Value);
  std::vector<Text> aliases, classes;
  for (const auto& row : table->Rows) {
    aliases.push_back(std::get<Text>(row[0]));
    classes.push_back(std::get<Text>(row[1]));
  }
  EXPECT_EQ(aliases, kRegisteredAliases);
  // The adapter's methods are listed under the service's name.
  EXPECT_EQ(std::vector<Text>(classes.end() - 9, classes.end()),
            std::vector<Text>(9, u"TSMSignService"));
}

TEST_F(SignServiceClassTest, ServiceMethodsHaveTextParametersAndResults) {
  TDSServerConnection connection(&FServer);
  struct Case {
    Text text;
    std::vector<std::pair<Text, int>> parameters;  // name, direction; all of type 26
  };
  const Case kCases[] = {
      {u"TSMSignService.SignDocument",
       {{u"AXMLNF", 1}, {u"ASerialNumber", 1}, {u"ReturnParameter", 4}}},
      {u"tsmsignservice.signdocument",
       {{u"AXMLNF", 1}, {u"ASerialNumber", 1}, {u"ReturnParameter", 4}}},
      {u"TSMSIGNSERVICE.GETLISTCERTIFICATE", {{u"ReturnParameter", 4}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.text));
    const auto method = Prepare(connection, c.text);
    const auto& parameters = method->Parameters();
    ASSERT_EQ(parameters.size(), c.parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      EXPECT_EQ(parameters[i].Name, c.parameters[i].first);
      EXPECT_EQ(parameters[i].Direction, c.parameters[i].second);
      EXPECT_EQ(parameters[i].DataType, 26);
      EXPECT_EQ(parameters[i].SubType, 0);
      EXPECT_EQ(parameters[i].Flags, 0);
    }
    EXPECT_TRUE(method->HasOutOrReturn());
  }
}

TEST_F(SignServiceClassTest, NullTextsReachSignDocumentAsEmptyTexts) {
  TDSServerConnection connection(&FServer);
  const auto sign = Prepare(connection, u"TSMSignService.SignDocument");
  sign->Invoke();  // AXMLNF and ASerialNumber null
  EXPECT_EQ(sign->Parameters()[2].Value,
            TDBXValue(kAdapterError + kLookupError +
                      u"Número de Série do Certificado Digital não especificado !"));

  sign->Parameters()[1].Value = Text(u"FFEE");
  sign->Invoke();
  EXPECT_EQ(sign->Parameters()[2].Value,
            TDBXValue(kAdapterError + kLookupError + u"Certificado Digital não encontrado!"));
  EXPECT_TRUE(FLogged.empty());
}

TEST_F(SignServiceClassTest, EachConnectionHasItsOwnServiceUntilItEnds) {
  void* first = nullptr;
  {
    TDSServerConnection connection(&FServer), other(&FServer);
    const auto list = Prepare(connection, u"TSMSignService.getListCertificate");
    const auto sign = Prepare(connection, u"TSMSignService.SignDocument");
    const auto elsewhere = Prepare(other, u"TSMSignService.getListCertificate");
    first = list->MethodInstance();
    EXPECT_EQ(sign->MethodInstance(), first);
    EXPECT_NE(elsewhere->MethodInstance(), first);
    // The service methods run on the service, the provider methods on the adapter.
    EXPECT_NE(list->AdapterInstance(), first);
    EXPECT_EQ(FCreated, 2);
    EXPECT_TRUE(FDestroyed.empty());
  }
  ASSERT_EQ(FDestroyed.size(), 2u);
  EXPECT_EQ(FDestroyed[1], first);  // destroyed with its connection, the other first
}

TEST_F(SignServiceClassTest, ProviderMethodsAnswerAsAModuleWithoutProviders) {
  TDSServerConnection connection(&FServer);
  const auto names = Prepare(connection, u"TSMSignService.AS_GetProviderNames");
  ASSERT_EQ(names->Parameters().size(), 1u);
  EXPECT_EQ(names->Parameters()[0].DataType, dtVariant);
  names->Invoke();
  EXPECT_TRUE(IsNull(names->Parameters()[0].Value));

  const auto params = Prepare(connection, u"TSMSignService.AS_GetParams(\"clientes\")");
  try {
    params->Invoke();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Provider not exported: clientes");
  }
  const auto apply = Prepare(connection, u"TSMSignService.AS_ApplyUpdates");
  std::vector<std::pair<int, int>> types;
  for (const auto& p : apply->Parameters()) types.emplace_back(p.DataType, p.Direction);
  EXPECT_EQ(types,
            (std::vector<std::pair<int, int>>{{26, 1}, {35, 1}, {6, 1}, {6, 2}, {35, 3}, {35, 4}}));
}

}  // namespace
