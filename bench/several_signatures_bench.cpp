// The cost of a document that asks for several signatures: an ABRASF batch of 50 RPS, each RPS
// and then the batch signed (51 signatures), against its reference measured in the same run:
// 51 bare RSA-SHA1 signatures plus one libxml2 parse and inclusive c14n of the same document.
// Usage: several_signatures_bench [seconds-per-figure]   (default 2 s)

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bench/bench_store.h"
#include "bench/bench_timing.h"
#include "platform/exception.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/xml_handles.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

namespace {

constexpr int kRps = 50;

std::string Template(const std::string& AId) {
  return "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
         "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
         "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
         "<Reference URI=\"#" +
         AId +
         "\"><Transforms><Transform "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/><Transform "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/></Transforms>"
         "<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><DigestValue/>"
         "</Reference></SignedInfo><SignatureValue/><KeyInfo/></Signature>";
}

// An ABRASF batch of ARps RPS with a template for each RPS and one for the batch.
std::string Batch(int ARps) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><EnviarLoteRpsEnvio "
      "xmlns=\"http://www.abrasf.org.br/nfse.xsd\"><LoteRps Id=\"lote1\" versao=\"2.02\">"
      "<NumeroLote>1</NumeroLote><CpfCnpj><Cnpj>11222333000181</Cnpj></CpfCnpj>"
      "<InscricaoMunicipal>123456</InscricaoMunicipal><QuantidadeRps>" +
      std::to_string(ARps) + "</QuantidadeRps><ListaRps>";
  for (int i = 1; i <= ARps; ++i) {
    const std::string n = std::to_string(i);
    xml += "<Rps><InfDeclaracaoPrestacaoServico Id=\"rps" + n +
           "\"><Rps><IdentificacaoRps><Numero>" + n +
           "</Numero><Serie>A1</Serie><Tipo>1</Tipo></IdentificacaoRps>"
           "<DataEmissao>2014-12-31</DataEmissao><Status>1</Status></Rps>"
           "<Competencia>2014-12-31</Competencia><Servico><Valores>"
           "<ValorServicos>1500.00</ValorServicos><Aliquota>5.00</Aliquota></Valores>"
           "<IssRetido>2</IssRetido><ItemListaServico>01.07</ItemListaServico>"
           "<Discriminacao>Suporte técnico, manutenção e outros serviços em tecnologia da "
           "informação referentes ao mês de dezembro.</Discriminacao>"
           "<CodigoMunicipio>3550308</CodigoMunicipio><ExigibilidadeISS>1</ExigibilidadeISS>"
           "</Servico><Prestador><CpfCnpj><Cnpj>11222333000181</Cnpj></CpfCnpj>"
           "<InscricaoMunicipal>123456</InscricaoMunicipal></Prestador><Tomador>"
           "<RazaoSocial>Comércio de Peças São João Ltda</RazaoSocial></Tomador>"
           "<OptanteSimplesNacional>2</OptanteSimplesNacional><IncentivoFiscal>2"
           "</IncentivoFiscal></InfDeclaracaoPrestacaoServico>" +
           Template("rps" + n) + "</Rps>";
  }
  return xml + "</ListaRps></LoteRps>" + Template("lote1") + "</EnviarLoteRpsEnvio>";
}

int Run(double ASecondsPerFigure) {
  const TScratchDirectory work("several-signatures-bench");
  const EvpPkeyPtr key = WriteSelfIssuedEntry(work.Path() / "empresa.pem", 0x0A1B2C);
  ::setenv("ASSINADOR_NFSE_STORE", work.Path().c_str(), 1);
  const ICertificate2Ptr certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");
  bench::Require(certificate != nullptr, "certificado do repositório");

  const std::string batch = Batch(kRps);
  const Text batchText = text::FromUtf8(batch);
  const auto sign = [&] {
    Text signedXml;
    Text status;
    TSignerNFSEDocument().sign(batchText, *certificate, signedXml, status);
    if (status != signer_messages::kStatusOk)
      throw std::runtime_error("assinatura falhou: " + text::ToUtf8(status));
  };
  // The reference: what any signer of this document must spend at least.
  const IPrivateKey storeKey = certificate->PrivateKey();
  const std::string signedInfo(600, 'x');
  const auto reference = [&] {
    for (int i = 0; i <= kRps; ++i) {
      EvpMdCtxPtr context{EVP_MD_CTX_new()};
      unsigned char signature[512];
      std::size_t length = sizeof signature;
      bench::Require(
          EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, storeKey.Handle()) == 1 &&
              EVP_DigestSign(context.get(), signature, &length,
                             reinterpret_cast<const unsigned char*>(signedInfo.data()),
                             signedInfo.size()) == 1,
          "EVP_DigestSign");
    }
    XmlDocPtr document{xmlReadMemory(batch.data(), static_cast<int>(batch.size()), nullptr, nullptr,
                                     XML_PARSE_NONET)};
    bench::Require(document != nullptr, "xmlReadMemory");
    xmlChar* canonical = nullptr;
    bench::Require(
        xmlC14NDocDumpMemory(document.get(), nullptr, XML_C14N_1_0, nullptr, 0, &canonical) >= 0,
        "xmlC14NDocDumpMemory");
    xmlFree(canonical);
  };
  const auto [signing, bare] = PairedMedianSeconds(sign, reference, ASecondsPerFigure);

  std::printf("document: %d RPS, %d signatures, %zu bytes (UTF-8)\n\n", kRps, kRps + 1,
              batch.size());
  std::printf("figures (median per document):\n");
  std::printf("  %-60s %10.3f ms\n", "sign the batch (every RPS, then the batch)", signing * 1e3);
  std::printf("  %-60s %10.3f ms\n", "51 bare RSA-SHA1 signatures + one parse and c14n",
              bare * 1e3);
  std::printf("\nratio:\n  %-60s %10.2f x\n", "signing / reference", signing / bare);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 2.0;
  try {
    const TXmlLibraryScope libraries;
    return Run(seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "several_signatures_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 1;
  }
}
