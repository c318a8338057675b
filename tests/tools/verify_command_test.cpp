// "verificar" of assinador-nfse-cli on what "assinar" writes, and on such output altered.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/signature_check.h"
#include "tests/tools/cli_fixture.h"

namespace {

using test_certificates::TCertificateRequest;

std::string ReadData(const std::string& AName) {
  std::ifstream in(std::string(ASSINADOR_TEST_DATA) + "/" + AName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t Count(const std::string& AText, const std::string& AWhat) {
  std::size_t count = 0;
  for (std::size_t at = AText.find(AWhat); at != std::string::npos; at = AText.find(AWhat, at + 1))
    ++count;
  return count;
}

// The text of the first element AName of AXml (no attributes on its start tag).
std::string ContentOf(const std::string& AXml, const std::string& AName) {
  const std::string open = "<" + AName + ">";
  const std::size_t start = AXml.find(open);
  if (start == std::string::npos) return {};
  const std::size_t from = start + open.size();
  return AXml.substr(from, AXml.find("</" + AName + ">", from) - from);
}

void ReplaceFirst(std::string& AText, const std::string& AFrom, const std::string& ATo) {
  const std::size_t at = AText.find(AFrom);
  ASSERT_NE(at, std::string::npos) << AFrom;
  AText.replace(at, AFrom.size(), ATo);
}

class VerifyCliTest : public CliTest {
 protected:
  // The data file signed by "assinar" into AOutput.
  void SignData(const std::string& AData, const std::string& AOutput,
                const std::string& ASerial = "") {
    Write("entrada-" + AOutput, ReadData(AData));
    const TRun run = Run("assinar entrada-" + AOutput + " --serie " +
                         (ASerial.empty() ? FSerial : ASerial) + " --saida " + AOutput);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  std::string CaPath() { return test_certificates::CaPemPath().string(); }
};

TEST_F(VerifyCliTest, AcceptsWhatTheSignerWrites) {
  const std::string data[] = {"nfse_sample.xml", "nfse_latin1.xml", "nfse_charref_lines.xml",
                              "nfse_existing_signature.xml", "nfse_lote_abrasf.xml"};
  std::string files;
  for (const std::string& name : data) {
    SignData(name, "assinado-" + name);
    files += " assinado-" + name;
  }
  const TRun run = Run("verificar" + files + " --ac '" + CaPath() + "'");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  // The document with its own template and a placeholder gets both signatures.
  EXPECT_EQ(Count(run.out, ": válida; certificado EMPRESA EXEMPLO LTDA, série " + FSerial +
                               ", emitido por AC TESTE ASSINADOR"),
            4u + 5u);
  EXPECT_EQ(Count(run.out, "; cadeia confiável\n"), 9u);
  EXPECT_EQ(Count(run.out, "conteúdo fora de qualquer assinatura"), 0u) << run.out;
  EXPECT_NE(run.out.find("  assinatura 4 de 4 (Id lote1: LoteRps em /EnviarLoteRpsEnvio/LoteRps):"
                         " válida"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  assinatura 2 de 4 (Id rps2: InfDeclaracaoPrestacaoServico em "
                         "/EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[2]/"
                         "InfDeclaracaoPrestacaoServico): válida"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("assinatura 1 de 1 (documento inteiro): válida"), std::string::npos);

  const TRun json = Run("verificar assinado-nfse_lote_abrasf.xml --json");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{\"file\":\"assinado-nfse_lote_abrasf.xml\",\"valid\":true,"
                           "\"error\":null,\"signatures\":[{\"index\":1,\"id\":\"rps1\","
                           "\"element\":\"InfDeclaracaoPrestacaoServico\",\"place\":\""
                           "/EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[1]/"
                           "InfDeclaracaoPrestacaoServico\",\"references\":[{\"id\":\"rps1\",",
                           0),
            0u)
      << json.out;
  EXPECT_EQ(Count(json.out, "\"serial\":\"" + FSerial + "\""), 4u);
  EXPECT_EQ(Count(json.out, "\"chain\":\"not-checked\""), 4u);
  EXPECT_NE(json.out.find("\"uncovered\":[],\"uncoveredTotal\":0}"), std::string::npos);
  // Without anchors a valid line never reads like a checked one.
  const TRun unchecked = Run("verificar assinado-nfse_sample.xml");
  EXPECT_NE(unchecked.out.find("; cadeia não verificada (use --ac)\n"), std::string::npos)
      << unchecked.out;
  EXPECT_EQ(Count(json.out, "\n"), 1u);
}

TEST_F(VerifyCliTest, RejectsAlteredDocumentsAndSaysWhy) {
  SignData("nfse_lote_abrasf.xml", "lote.xml");
  const std::string signedBatch = Read("lote.xml");
  std::string other;
  FStore.Add(TCertificateRequest("outra.pem").CommonName("OUTRA EMPRESA").OtherKeyPair(), &other);
  SignData("nfse_sample.xml", "outra.xml", other);
  std::string expired;
  FStore.Add(TCertificateRequest("vencido.pem").CommonName("EMPRESA VENCIDA").Expired(), &expired);
  SignData("nfse_lote_abrasf.xml", "vencido.xml", expired);
  const std::string unknownRoot = Path("outra-raiz.pem");
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "
                         "'/CN=OUTRA RAIZ' -keyout '" +
                         Path("outra-raiz.key") + "' -out '" + unknownRoot + "' 2>/dev/null")
                            .c_str()),
            0);

  struct Case {
    const char* name;
    std::string document;
    std::string options;
    std::string expected;  // a line of the output
  };
  std::string changedContent = signedBatch;
  ReplaceFirst(changedContent, "Consultoria em gestão", "Consultoria em gestao");
  std::string changedValue = signedBatch;
  const std::string value = ContentOf(signedBatch, "SignatureValue");
  std::string flipped = value;
  flipped[0] = flipped[0] == 'A' ? 'B' : 'A';
  ReplaceFirst(changedValue, value, flipped);
  std::string swapped = signedBatch;
  ReplaceFirst(swapped, ContentOf(signedBatch, "X509Certificate"),
               ContentOf(Read("outra.xml"), "X509Certificate"));
  std::string emptied = signedBatch;
  ReplaceFirst(emptied, value, "");
  const auto rps = [](int k) {
    return "InfDeclaracaoPrestacaoServico em /EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[" +
           std::to_string(k) + "]/InfDeclaracaoPrestacaoServico";
  };
  const Case cases[] = {
      {"one changed character", changedContent, "",
       "assinatura 2 de 4 (Id rps2: " + rps(2) + "): inválida: o conteúdo de rps2 (" + rps(2) +
           ") foi alterado depois de assinado; certificado EMPRESA EXEMPLO LTDA, série " + FSerial},
      {"the batch covers the changed RPS", changedContent, "",
       "assinatura 4 de 4 (Id lote1: LoteRps em /EnviarLoteRpsEnvio/LoteRps): inválida: o "
       "conteúdo de lote1 (LoteRps em /EnviarLoteRpsEnvio/LoteRps) foi alterado depois de "
       "assinado"},
      {"what no valid signature covers is named", changedContent, "",
       "conteúdo fora de qualquer assinatura: /EnviarLoteRpsEnvio/LoteRps/ListaRps/Rps[2]/"
       "InfDeclaracaoPrestacaoServico\n"},
      {"changed signature value", changedValue, "",
       "assinatura 1 de 4 (Id rps1: " + rps(1) +
           "): inválida: o valor da assinatura não confere com o certificado"},
      {"swapped certificate", swapped, "",
       "assinatura 1 de 4 (Id rps1: " + rps(1) +
           "): inválida: o valor da assinatura não confere com o certificado; certificado "
           "OUTRA EMPRESA, série " +
           other},
      {"emptied signature value", emptied, "",
       "assinatura 1 de 4 (Id rps1: " + rps(1) +
           "): não assinada: o modelo de assinatura está vazio"},
      {"chain to an unknown root", signedBatch, " --ac '" + unknownRoot + "'",
       "assinatura 1 de 4 (Id rps1: " + rps(1) +
           "): íntegra, mas não aceita: a cadeia do certificado não chega a uma AC confiável: "
           "falta o certificado da AC que emitiu o certificado EMPRESA EXEMPLO LTDA (nem no "
           "documento nem em --ac)"},
      {"expired certificate", Read("vencido.xml"), "",
       "assinatura 3 de 4 (Id rps3: " + rps(3) +
           "): íntegra, mas não aceita: o certificado venceu em "},
      {"expired certificate with a trusted chain", Read("vencido.xml"), " --ac '" + CaPath() + "'",
       "assinatura 3 de 4 (Id rps3: " + rps(3) +
           "): íntegra, mas não aceita: o certificado venceu em "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write("caso.xml", c.document);
    const TRun run = Run("verificar caso.xml" + c.options);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out << run.err;
    const TRun json = Run("verificar caso.xml --json" + c.options);
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("\"valid\":false"), std::string::npos) << json.out;
  }
}

TEST_F(VerifyCliTest, FilesThatCannotBeCheckedFail) {
  SignData("nfse_sample.xml", "assinado.xml");
  Write("sem-assinatura.xml", "<nfse><inf>x</inf></nfse>");
  Write("quebrado.xml", "<nfse><inf>x</nfse>");
  const TRun run = Run("verificar assinado.xml sem-assinatura.xml quebrado.xml ausente.xml");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("assinado.xml:\n  assinatura 1 de 1 (documento inteiro): válida"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("sem-assinatura.xml: nenhuma assinatura"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("quebrado.xml: o documento não é um XML que se possa ler"),
            std::string::npos);
  EXPECT_NE(run.err.find("ausente.xml: Não foi possível abrir"), std::string::npos);

  Write("vazia/leia-me.txt", "nada");
  for (const std::string& anchors : {Path("vazia"), Path("nao-existe.pem")}) {
    const TRun refused = Run("verificar assinado.xml --ac '" + anchors + "'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(" AC"), std::string::npos) << refused.err;
  }
  // A folder of ACs: the root beside anything else.
  Write("acs/leia-me.txt", "nada");
  Write("acs/raiz.pem", TScratchDirectory::ReadBytes(test_certificates::CaPemPath()));
  EXPECT_EQ(Run("verificar assinado.xml --ac acs").status, 0);

  for (const char* usage :
       {"verificar", "verificar a.xml --ac", "verificar - -", "verificar a.xml --serie 01"}) {
    SCOPED_TRACE(usage);
    EXPECT_EQ(Run(usage).status, 2);
  }
}

}  // namespace
