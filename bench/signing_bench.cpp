// Signing costs against their references, with one RSA-2048 key throughout:
//   bare RSA-SHA1 signature           vs signing an ~8 KB NFS-e          (target <= 1.3x)
//   libxml2 parse + inclusive c14n    vs signing an ~2 MB batch          (target <= 2.5x)
//   one thread signing 8 KB documents vs two threads                     (target >= 1.8x docs/s)
//   listing a 50-certificate store cold vs warm (unchanged)              (target <= 0.1x)
// Usage: signing_bench [seconds-per-figure [perfil-8k|perfil-2m]]   (default 2 s; a profile mode
// only signs that document in a loop, for perf)

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_store.h"
#include "bench/bench_timing.h"
#include "platform/certstore/certificate.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/xml_handles.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

double gSecondsPerFigure = 2.0;

void Check(bool AOk, const char* AWhat) {
  if (!AOk) throw std::runtime_error(std::string("falhou: ") + AWhat);
}

// Median seconds of one call of AWork, repeating it for about gSecondsPerFigure.
double MedianSeconds(const std::function<void()>& AWork) {
  AWork();  // warm-up: first-touch allocations, library caches
  std::vector<double> samples;
  const auto until = Clock::now() + std::chrono::duration<double>(gSecondsPerFigure);
  while (samples.size() < 5 || (Clock::now() < until && samples.size() < 100000)) {
    const auto start = Clock::now();
    AWork();
    samples.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

// An NFS-e batch (ABRASF-like) with ARps service documents and one signature placeholder.
std::string NfseDocument(int ARps) {
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
           "<ValorServicos>1500.00</ValorServicos><ValorDeducoes>0.00</ValorDeducoes>"
           "<ValorPis>9.75</ValorPis><ValorCofins>45.00</ValorCofins><ValorInss>0.00</ValorInss>"
           "<ValorIr>22.50</ValorIr><ValorCsll>15.00</ValorCsll><ValorIss>75.00</ValorIss>"
           "<Aliquota>5.00</Aliquota></Valores><IssRetido>2</IssRetido>"
           "<ItemListaServico>01.07</ItemListaServico><CodigoCnae>6209100</CodigoCnae>"
           "<CodigoTributacaoMunicipio>010700188</CodigoTributacaoMunicipio>"
           "<Discriminacao>Suporte técnico, manutenção e outros serviços em tecnologia da "
           "informação referentes ao mês de dezembro; atendimento remoto e presencial, "
           "atualização de versões e configuração de estações de trabalho.</Discriminacao>"
           "<CodigoMunicipio>3550308</CodigoMunicipio><ExigibilidadeISS>1</ExigibilidadeISS>"
           "<MunicipioIncidencia>3550308</MunicipioIncidencia></Servico><Prestador><CpfCnpj>"
           "<Cnpj>11222333000181</Cnpj></CpfCnpj><InscricaoMunicipal>123456"
           "</InscricaoMunicipal></Prestador><Tomador><IdentificacaoTomador><CpfCnpj><Cnpj>"
           "44555666000199</Cnpj></CpfCnpj></IdentificacaoTomador><RazaoSocial>Comércio de "
           "Peças São João Ltda</RazaoSocial><Endereco><Endereco>Avenida Paulista</Endereco>"
           "<Numero>1000</Numero><Complemento>Conjunto 12</Complemento><Bairro>Bela Vista"
           "</Bairro><CodigoMunicipio>3550308</CodigoMunicipio><Uf>SP</Uf><Cep>01310100</Cep>"
           "</Endereco><Contato><Telefone>1133334444</Telefone><Email>fiscal@exemplo.com.br"
           "</Email></Contato></Tomador><OptanteSimplesNacional>2</OptanteSimplesNacional>"
           "<IncentivoFiscal>2</IncentivoFiscal></InfDeclaracaoPrestacaoServico></Rps>";
  }
  return xml + "</ListaRps></LoteRps><assinatura/></EnviarLoteRpsEnvio>";
}

// A document of about ABytes.
std::string NfseDocumentOfSize(std::size_t ABytes) {
  const std::size_t one = NfseDocument(2).size() - NfseDocument(1).size();
  const std::size_t fixed = NfseDocument(1).size() - one;
  return NfseDocument(std::max(1, static_cast<int>((ABytes - fixed + one / 2) / one)));
}

EvpPkeyPtr NewRsaKey() {
  EvpPkeyPtr key{EVP_RSA_gen(2048)};
  Check(key != nullptr, "EVP_RSA_gen");
  return key;
}

// A certificate for AKey, issued by itself, with the given serial and common name.
X509Ptr NewCertificate(EVP_PKEY* AKey, long ASerial, const std::string& ACommonName) {
  X509Ptr certificate{X509_new()};
  Check(certificate != nullptr, "X509_new");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ASerial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Empresa Bench"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(ACommonName.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), AKey);
  Check(X509_sign(certificate.get(), AKey, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

void WritePem(const std::filesystem::path& AFile, X509* ACertificate, EVP_PKEY* AKey) {
  BioPtr bio{BIO_new_file(AFile.c_str(), "w")};
  Check(bio != nullptr, "BIO_new_file");
  Check(PEM_write_bio_X509(bio.get(), ACertificate) == 1, "PEM_write_bio_X509");
  Check(PEM_write_bio_PrivateKey(bio.get(), AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
}

void UseStore(const std::filesystem::path& ADirectory) {
  ::setenv("ASSINADOR_NFSE_STORE", ADirectory.c_str(), 1);
}

void Sign(const Text& ADocument, const ICertificate2& ACertificate) {
  TSignerNFSEDocument signer;
  Text signedXml;
  Text status;
  signer.sign(ADocument, ACertificate, signedXml, status);
  if (status != signer_messages::kStatusOk)
    throw std::runtime_error("assinatura falhou: " + text::ToUtf8(status));
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct TThroughput {
  double docsPerSecond;
  double coresBusy;  // process CPU time / wall time: below AThreads when others hold the cores
};

// Operations per second that AThreads threads complete together, each running AWork in a loop.
TThroughput OperationsPerSecond(int AThreads, const std::function<void()>& AWork) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0};
  std::vector<std::jthread> threads;
  const auto start = Clock::now();
  const double cpuStart = ProcessCpuSeconds();
  for (int t = 0; t < AThreads; ++t)
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        AWork();
        done.fetch_add(1, std::memory_order_relaxed);
      }
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(gSecondsPerFigure * 2));
  stop = true;
  threads.clear();  // joins
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return {static_cast<double>(done.load()) / wall, (ProcessCpuSeconds() - cpuStart) / wall};
}

void PrintFigure(const char* AName, double ASeconds) {
  std::printf("  %-52s %10.3f ms\n", AName, ASeconds * 1e3);
}

void PrintRatio(const char* AName, double ARatio, const char* ATarget, bool AMet) {
  std::printf("  %-52s %10.2f x   target %s: %s\n", AName, ARatio, ATarget,
              AMet ? "met" : "MISSED");
}

// Only signs one document size in a loop, for a profiler: "perfil-8k" or "perfil-2m".
std::string gProfile;

int Run() {
  const TScratchDirectory work("signing-bench");
  const EvpPkeyPtr key = NewRsaKey();

  // The signing store: one certificate with the key.
  const auto signingStore = work.Path() / "signing";
  std::filesystem::create_directory(signingStore);
  const X509Ptr signingCertificate = NewCertificate(key.get(), 0x0A1B2C, "EMPRESA BENCH LTDA");
  WritePem(signingStore / "empresa.pem", signingCertificate.get(), key.get());
  UseStore(signingStore);
  const ICertificate2Ptr certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");

  const std::string small = NfseDocumentOfSize(8 * 1024);
  const std::string large = NfseDocumentOfSize(2 * 1024 * 1024);
  const Text smallText = text::FromUtf8(small);
  const Text largeText = text::FromUtf8(large);
  std::printf("documents: %zu bytes and %zu bytes (UTF-8)\n\n", small.size(), large.size());
  if (!gProfile.empty()) {
    const Text& profiled = gProfile == "perfil-2m" ? largeText : smallText;
    const auto until = Clock::now() + std::chrono::duration<double>(gSecondsPerFigure);
    long count = 0;
    for (; Clock::now() < until; ++count) Sign(profiled, *certificate);
    std::printf("%ld documents signed\n", count);
    return 0;
  }

  // Bare RSA-SHA1 over a SignedInfo-sized message, as the signature value costs, with the very
  // key object the store hands the signer.
  const IPrivateKey storeKey = certificate->PrivateKey();
  const std::string message(600, 'x');
  const auto bareSignature = [&] {
    EvpMdCtxPtr context{EVP_MD_CTX_new()};
    unsigned char signature[512];
    std::size_t length = sizeof signature;
    Check(EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, storeKey.Handle()) == 1,
          "EVP_DigestSignInit");
    Check(
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1,
        "EVP_DigestSign");
  };
  const auto parseAndCanonicaliseOf = [](const std::string& AXml) {
    XmlDocPtr document{xmlReadMemory(AXml.data(), static_cast<int>(AXml.size()), nullptr, nullptr,
                                     XML_PARSE_NONET)};
    Check(document != nullptr, "xmlReadMemory");
    xmlChar* canonical = nullptr;
    Check(xmlC14NDocDumpMemory(document.get(), nullptr, XML_C14N_1_0, nullptr, 0, &canonical) >= 0,
          "xmlC14NDocDumpMemory");
    xmlFree(canonical);
  };
  const auto parseAndCanonicalise = [&] { parseAndCanonicaliseOf(large); };
  const auto [bare, signSmall] = PairedMedianSeconds(
      bareSignature, [&] { Sign(smallText, *certificate); }, gSecondsPerFigure);
  // The least any signer must add to the bare signature for the 8 KB document.
  const double smallParseC14n = MedianSeconds([&] { parseAndCanonicaliseOf(small); });
  const Text minimal = u"<a><assinatura/></a>";
  const double signMinimal = MedianSeconds([&] { Sign(minimal, *certificate); });
  // Pieces of the 2 MB signing outside parse + c14n: the UTF-16 <-> UTF-8 round trip at the
  // library boundary, and serialising the parsed document back to text.
  const double largeConversions =
      MedianSeconds([&] { Check(text::FromUtf8(text::ToUtf8(largeText)).size() > 0, "utf"); });
  const XmlDocPtr largeDocument{xmlReadMemory(large.data(), static_cast<int>(large.size()), nullptr,
                                              nullptr, XML_PARSE_NONET)};
  Check(largeDocument != nullptr, "xmlReadMemory");
  const double largeSerialise = MedianSeconds([&] {
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemory(largeDocument.get(), &dumped, &size);
    Check(dumped != nullptr, "xmlDocDumpMemory");
    xmlFree(dumped);
  });
  const auto [parseC14n, signLarge] = PairedMedianSeconds(
      parseAndCanonicalise, [&] { Sign(largeText, *certificate); }, gSecondsPerFigure);

  const auto signSmallDocument = [&] { Sign(smallText, *certificate); };
  const TThroughput oneThread = OperationsPerSecond(1, signSmallDocument);
  const TThroughput twoThreads = OperationsPerSecond(2, signSmallDocument);
  // The bare signature alone, to tell the crypto library's scaling from the signer's.
  // Control: arithmetic that shares nothing. If it does not scale either, the machine (other
  // processes on the cores) is the limit, not the code.
  const auto arithmetic = [] {
    volatile std::uint64_t sink = 0;
    std::uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 200000; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
    }
    sink = x;
    (void)sink;
  };
  const TThroughput controlOne = OperationsPerSecond(1, arithmetic);
  const TThroughput controlTwo = OperationsPerSecond(2, arithmetic);
  const TThroughput bareOne = OperationsPerSecond(1, bareSignature);
  const TThroughput bareTwo = OperationsPerSecond(2, bareSignature);

  // A store of 50 certificates (same key, distinct serials and names). Cold: a fresh copy of
  // the files the store has never seen; warm: the same directory listed again, unchanged.
  const auto listStore = work.Path() / "list";
  std::filesystem::create_directory(listStore);
  for (int i = 0; i < 50; ++i) {
    const X509Ptr entry = NewCertificate(key.get(), 0x1000 + i, "EMPRESA " + std::to_string(i));
    char name[32];
    std::snprintf(name, sizeof name, "cert%02d.pem", i);
    WritePem(listStore / name, entry.get(), key.get());
  }
  int copies = 0;
  std::vector<double> coldSamples;
  const auto coldUntil = Clock::now() + std::chrono::duration<double>(gSecondsPerFigure);
  while (coldSamples.size() < 5 || (Clock::now() < coldUntil && coldSamples.size() < 1000)) {
    const auto copy = work.Path() / ("cold" + std::to_string(copies++));
    std::filesystem::copy(listStore, copy);
    UseStore(copy);
    const auto start = Clock::now();
    const auto list = TDigitalCertificate().getListSerialNumber();
    coldSamples.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    Check(list.size() == 50, "lista com 50 certificados");
    std::filesystem::remove_all(copy);
  }
  std::nth_element(coldSamples.begin(), coldSamples.begin() + coldSamples.size() / 2,
                   coldSamples.end());
  const double cold = coldSamples[coldSamples.size() / 2];
  UseStore(listStore);
  const double warm = MedianSeconds([] { TDigitalCertificate().getListSerialNumber(); });

  std::printf("figures (median per operation):\n");
  PrintFigure("bare RSA-SHA1 signature (RSA-2048)", bare);
  PrintFigure("sign \"<a><assinatura/></a>\" (the signer's floor)", signMinimal);
  PrintFigure("libxml2 parse + inclusive c14n of the 8 KB NFS-e", smallParseC14n);
  PrintFigure("sign ~8 KB NFS-e", signSmall);
  PrintFigure("sign ~2 MB batch", signLarge);
  PrintFigure("libxml2 parse + inclusive c14n of the 2 MB batch", parseC14n);
  PrintFigure("  UTF-16 -> UTF-8 -> UTF-16 of the 2 MB text", largeConversions);
  PrintFigure("  serialise the parsed 2 MB batch (xmlDocDumpMemory)", largeSerialise);
  PrintFigure("list 50-certificate store, cold", cold);
  PrintFigure("list 50-certificate store, warm", warm);
  std::printf("  %-52s %10.1f docs/s  (%.2f cores busy)\n", "sign ~8 KB, one thread",
              oneThread.docsPerSecond, oneThread.coresBusy);
  std::printf("  %-52s %10.1f docs/s  (%.2f cores busy)\n", "sign ~8 KB, two threads",
              twoThreads.docsPerSecond, twoThreads.coresBusy);
  std::printf("  %-52s %10.2f x  (%.2f / %.2f cores busy)\n",
              "  bare signature, two threads / one thread",
              bareTwo.docsPerSecond / bareOne.docsPerSecond, bareTwo.coresBusy, bareOne.coresBusy);
  std::printf("  %-52s %10.2f x  (%.2f / %.2f cores busy)\n",
              "  control (shares nothing), two threads / one thread",
              controlTwo.docsPerSecond / controlOne.docsPerSecond, controlTwo.coresBusy,
              controlOne.coresBusy);
  std::printf("\nratios:\n");
  PrintRatio("8 KB signing / bare signature", signSmall / bare, "<= 1.3", signSmall <= 1.3 * bare);
  PrintRatio("2 MB signing / parse + c14n", signLarge / parseC14n, "<= 2.5",
             signLarge <= 2.5 * parseC14n);
  PrintRatio("two threads / one thread (docs/s)",
             twoThreads.docsPerSecond / oneThread.docsPerSecond, ">= 1.8",
             twoThreads.docsPerSecond >= 1.8 * oneThread.docsPerSecond);
  PrintRatio("warm list / cold list", warm / cold, "<= 0.1", warm <= 0.1 * cold);
  if (controlTwo.docsPerSecond < 1.8 * controlOne.docsPerSecond)
    std::printf(
        "  note: the control reached only %.2f x, so two cores were not free for this run;\n"
        "        the thread figure says nothing about the code until the control scales.\n",
        controlTwo.docsPerSecond / controlOne.docsPerSecond);
  double load[3] = {0, 0, 0};
  ::getloadavg(load, 3);
  std::printf("\nhardware threads: %u, load average %.2f (other processes compete for them)\n",
              std::thread::hardware_concurrency(), load[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) gSecondsPerFigure = std::max(0.1, std::atof(argv[1]));
  if (argc > 2) gProfile = argv[2];
  try {
    const TXmlLibraryScope libraries;
    return Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "signing_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 1;
  }
}
