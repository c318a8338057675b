// The cost of documents that carry many signatures, signed and verified, each figure against a
// reference measured in the same run with the same RSA-2048 key:
//   sign an ABRASF batch of N RPS (N + 1 signatures: each RPS, then the batch)
//     vs N + 1 bare RSA-SHA1 signatures + one libxml2 parse and inclusive c14n of the batch
//   verify every signature of the signed batch (IXMLDOMDocument3 + xmldsig::CheckSignatures)
//     vs N + 1 bare RSA-SHA1 verifications + one parse and c14n of the signed batch
// for N = 50 and 500 (target at 500: <= 1.5x both), and the signing of 999 RPS against 500, which
// grows about 2x when the cost per signature does not depend on how many there are.
// An operation that takes seconds runs as often as the time per figure allows, at least once.
//
// Usage: several_signatures_bench [seconds-per-figure]   (default 2 s)
//        several_signatures_bench perfil OPERATION N     (one operation once, for callgrind)
// OPERATION is assinar, referencia-assinar, verificar or referencia-verificar; the store, the
// document and a warm-up run outside the count, and so does the signing that the two verifying
// operations need first (slow under valgrind while signing 500 RPS takes seconds).
// Instructions of one operation, and the ratio of two (an operation against its reference):
//   b=build/release/several_signatures_bench; t='*MeasuredOperation*'
//   for op in assinar referencia-assinar; do
//     valgrind --tool=callgrind --toggle-collect="$t" --callgrind-out-file=cg.$op $b perfil $op 500
//   done
//   awk '/^totals:/{n[++i]=$2} END{printf "%.2f x\n", n[1]/n[2]}' cg.assinar cg.referencia-assinar

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_daemon.h"
#include "bench/bench_store.h"
#include "bench/bench_timing.h"
#include "platform/exception.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/signature_verification.h"
#include "platform/xmldsig/xml_handles.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

namespace {

using bench_daemon::Clock;
using bench_daemon::Seconds;

constexpr int kSizes[] = {50, 500};
constexpr int kGrowthRps = 999;  // with the batch's own, the most signatures a document may ask
constexpr int kGrowthBase = 500;

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

void ParseAndCanonicalise(const std::string& AXml) {
  XmlDocPtr document{
      xmlReadMemory(AXml.data(), static_cast<int>(AXml.size()), nullptr, nullptr, XML_PARSE_NONET)};
  bench::Require(document != nullptr, "xmlReadMemory");
  xmlChar* canonical = nullptr;
  bench::Require(
      xmlC14NDocDumpMemory(document.get(), nullptr, XML_C14N_1_0, nullptr, 0, &canonical) >= 0,
      "xmlC14NDocDumpMemory");
  xmlFree(canonical);
}

// The call whose result is about to become a struct: all this program asks of it is that it
// runs to the end without throwing.
void CheckEverySignature(xmlDoc& ADocument) {
  static_cast<void>(xmldsig::CheckSignatures(ADocument, nullptr, std::time(nullptr)));
}

// The store with one self-issued certificate and its key, and one bare signature made once
// with that key for the bare verifications to check.
class TWorkbench {
 public:
  TWorkbench() : FFolder("several-signatures-bench") {
    WriteSelfIssuedEntry(FFolder.Path() / "empresa.pem",
                         std::strtol(bench_daemon::kSerial, nullptr, 16));
    ::setenv("ASSINADOR_NFSE_STORE", FFolder.Path().c_str(), 1);
    FCertificate =
        TDigitalCertificate().getCertificateBySerial(text::FromAscii(bench_daemon::kSerial));
    bench::Require(FCertificate != nullptr, "certificado do repositório");
    FKey = std::make_unique<IPrivateKey>(FCertificate->PrivateKey());
    EvpMdCtxPtr context{EVP_MD_CTX_new()};
    FSignature.resize(512);
    std::size_t length = FSignature.size();
    bench::Require(
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, FKey->Handle()) == 1 &&
            EVP_DigestSign(context.get(), FSignature.data(), &length, Message(), kMessageBytes) ==
                1,
        "EVP_DigestSign");
    FSignature.resize(length);
  }

  // The signer's work on AXml, the signed text into ASigned.
  void Sign(const Text& AXml, Text& ASigned) const {
    Text signedXml;
    Text status;
    TSignerNFSEDocument().sign(AXml, *FCertificate, signedXml, status);
    if (status != signer_messages::kStatusOk)
      throw std::runtime_error("assinatura falhou: " + text::ToUtf8(status));
    ASigned = std::move(signedXml);
  }

  // A receiver's work on the signed text: load it as the signer does and check every signature.
  static void Verify(const Text& ASigned) {
    IXMLDOMDocument3 dom;
    bench::Require(dom.loadXML(ASigned), "loadXML: " + text::ToUtf8(dom.parseError()));
    CheckEverySignature(*dom.Handle());
  }

  // What any signer of AXml (ASignatures signatures) must spend at least.
  void SigningReference(const std::string& AXml, int ASignatures) const {
    for (int i = 0; i < ASignatures; ++i) bench_daemon::BareRsaSignature(FKey->Handle());
    ParseAndCanonicalise(AXml);
  }

  // What any verifier of the signed ASignedXml must spend at least; the public key is the
  // certificate's, as a receiver has it.
  void VerifyingReference(const std::string& ASignedXml, int ASignatures) const {
    EVP_PKEY* publicKey = X509_get0_pubkey(FCertificate->Handle());
    for (int i = 0; i < ASignatures; ++i) {
      EvpMdCtxPtr context{EVP_MD_CTX_new()};
      bench::Require(
          EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha1(), nullptr, publicKey) == 1 &&
              EVP_DigestVerify(context.get(), FSignature.data(), FSignature.size(), Message(),
                               kMessageBytes) == 1,
          "EVP_DigestVerify");
    }
    ParseAndCanonicalise(ASignedXml);
  }

 private:
  // The size of a SignedInfo, as bench_daemon::BareRsaSignature signs.
  static constexpr std::size_t kMessageBytes = 600;
  static const unsigned char* Message() {
    static const std::string message(kMessageBytes, 'x');
    return reinterpret_cast<const unsigned char*>(message.data());
  }

  TScratchDirectory FFolder;
  ICertificate2Ptr FCertificate;
  std::unique_ptr<IPrivateKey> FKey;
  std::vector<unsigned char> FSignature;
};

double SecondsOf(const std::function<void()>& AWork) {
  const auto start = Clock::now();
  AWork();
  return Seconds(start);
}

// Median seconds of one call of AWork and of AReference, sampled alternately. PairedMedianSeconds
// runs each at least six times, more than an operation of seconds (the signing of large batches
// while it grows faster than linearly) can be given: one whose first call takes over a sixth of
// the budget runs only while the budget lasts, at least once, each run beside one of its
// reference.
std::pair<double, double> MedianAgainstReference(const std::function<void()>& AWork,
                                                 const std::function<void()>& AReference,
                                                 double ASecondsPerFigure) {
  const double budget = 2 * ASecondsPerFigure;
  const double first = SecondsOf(AWork);
  if (6 * first <= budget) return PairedMedianSeconds(AWork, AReference, ASecondsPerFigure);
  AReference();  // warms it as PairedMedianSeconds does; AWork's first call already did
  std::vector<double> work = {first};
  std::vector<double> reference = {SecondsOf(AReference)};
  // Another run only when it would still end within the budget.
  const auto start = Clock::now();
  while (first + Seconds(start) + first <= budget) {
    work.push_back(SecondsOf(AWork));
    reference.push_back(SecondsOf(AReference));
  }
  auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  return {median(work), median(reference)};
}

std::string SecondsText(double ASeconds) {
  char value[32];
  std::snprintf(value, sizeof value, "%.4f s", ASeconds);
  return value;
}

std::string RatioText(double ARatio) {
  char value[32];
  std::snprintf(value, sizeof value, "%.2f x", ARatio);
  return value;
}

// The figures of one size; returns the signing time and its reference, for the growth figure.
std::pair<double, double> SignAndVerify(const TWorkbench& ABench, int ARps,
                                        double ASecondsPerFigure, bench_daemon::TReport& AReport) {
  const int signatures = ARps + 1;
  const std::string batch = Batch(ARps);
  const Text batchText = text::FromUtf8(batch);
  Text signedText;
  const auto [signing, signingReference] = MedianAgainstReference(
      [&] { ABench.Sign(batchText, signedText); },
      [&] { ABench.SigningReference(batch, signatures); }, ASecondsPerFigure);
  const std::string signedXml = text::ToUtf8(signedText);
  const auto [verifying, verifyingReference] = MedianAgainstReference(
      [&] { TWorkbench::Verify(signedText); },
      [&] { ABench.VerifyingReference(signedXml, signatures); }, ASecondsPerFigure);

  const std::string n = std::to_string(ARps);
  const std::string s = std::to_string(signatures);
  const bool targeted = ARps == kGrowthBase;
  std::printf("%s RPS, %s signatures: %zu bytes, %zu signed (UTF-8)\n", n.c_str(), s.c_str(),
              batch.size(), signedXml.size());
  AReport.Figure("sign the batch (every RPS, then the batch)", SecondsText(signing), "", {});
  AReport.Figure("  " + s + " bare RSA-SHA1 signatures + parse and c14n",
                 SecondsText(signingReference), "", {});
  AReport.Figure("  signing / reference", RatioText(signing / signingReference),
                 targeted ? "<= 1.5" : "",
                 targeted ? std::optional(signing <= 1.5 * signingReference) : std::nullopt);
  AReport.Figure("verify every signature of the signed batch", SecondsText(verifying), "", {});
  AReport.Figure("  " + s + " bare RSA-SHA1 verifications + parse and c14n",
                 SecondsText(verifyingReference), "", {});
  AReport.Figure("  verifying / reference", RatioText(verifying / verifyingReference),
                 targeted ? "<= 1.5" : "",
                 targeted ? std::optional(verifying <= 1.5 * verifyingReference) : std::nullopt);
  std::printf("\n");
  return {signing, signingReference};
}

int Run(double ASecondsPerFigure) {
  const TWorkbench bench;
  bench_daemon::TReport report;
  std::printf("median seconds per document, each against its reference in the same run\n\n");
  std::pair<double, double> base{};
  for (const int rps : kSizes) {
    const auto figures = SignAndVerify(bench, rps, ASecondsPerFigure, report);
    if (rps == kGrowthBase) base = figures;
  }

  // Growth: the same per-signature cost gives 999/500 = 2.0x; a cost that grows with the number
  // of signatures already signed gives 4x.
  const std::string batch = Batch(kGrowthRps);
  const Text batchText = text::FromUtf8(batch);
  Text signedText;
  const auto [signing, signingReference] = MedianAgainstReference(
      [&] { bench.Sign(batchText, signedText); },
      [&] { bench.SigningReference(batch, kGrowthRps + 1); }, ASecondsPerFigure);
  std::printf("%d RPS, %d signatures: %zu bytes (UTF-8)\n", kGrowthRps, kGrowthRps + 1,
              batch.size());
  report.Figure("sign the batch", SecondsText(signing), "", {});
  report.Figure(
      "  " + std::to_string(kGrowthRps + 1) + " bare RSA-SHA1 signatures + parse and c14n",
      SecondsText(signingReference), "", {});
  report.Figure(
      "signing " + std::to_string(kGrowthRps) + " / " + std::to_string(kGrowthBase) + " RPS",
      RatioText(signing / base.first), "~2 (<= 2.5)", signing <= 2.5 * base.first);
  report.Figure("  the reference's own growth", RatioText(signingReference / base.second), "", {});
  return 0;  // a missed target is a figure to read, not a failure of this program
}

// The operation a profile counts, on its own so that callgrind can be told to count only it
// (--toggle-collect='*MeasuredOperation*').
[[gnu::noinline]] void MeasuredOperation(const std::function<void()>& AWork) { AWork(); }

// One operation once, on a batch of ARps RPS: what callgrind counts of it is its cost alone.
int Profile(const std::string& AOperation, int ARps) {
  const TWorkbench bench;
  const int signatures = ARps + 1;
  const std::string batch = Batch(ARps);
  const Text batchText = text::FromUtf8(batch);
  // The first calls load the store's entry and the libraries' tables and blind the key, as the
  // timed loops' first calls do: outside the count.
  {
    const std::string small = Batch(1);
    Text signedSmall;
    bench.Sign(text::FromUtf8(small), signedSmall);
    TWorkbench::Verify(signedSmall);
    bench.SigningReference(small, 2);
    bench.VerifyingReference(text::ToUtf8(signedSmall), 2);
  }
  Text signedText;
  if (AOperation == "assinar") {
    MeasuredOperation([&] { bench.Sign(batchText, signedText); });
  } else if (AOperation == "referencia-assinar") {
    MeasuredOperation([&] { bench.SigningReference(batch, signatures); });
  } else if (AOperation == "verificar") {
    bench.Sign(batchText, signedText);
    MeasuredOperation([&] { TWorkbench::Verify(signedText); });
  } else if (AOperation == "referencia-verificar") {
    bench.Sign(batchText, signedText);
    const std::string signedXml = text::ToUtf8(signedText);
    MeasuredOperation([&] { bench.VerifyingReference(signedXml, signatures); });
  } else {
    std::fprintf(stderr,
                 "several_signatures_bench: operação desconhecida \"%s\" (assinar, "
                 "referencia-assinar, verificar, referencia-verificar)\n",
                 AOperation.c_str());
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const TXmlLibraryScope libraries;
    if (argc > 3 && std::strcmp(argv[1], "perfil") == 0)
      return Profile(argv[2], std::max(1, std::atoi(argv[3])));
    return Run(argc > 1 ? std::max(0.1, std::atof(argv[1])) : 2.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "several_signatures_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 1;
  }
}
