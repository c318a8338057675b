// What hostile inputs cost: each case runs in a child process of its own, and the figures are
// that child's CPU seconds (user + system) and its peak resident memory, against the input's
// size. The target: no input of at most 2 MB costs more than 2 s of CPU or 50 x its size in
// memory (the "growth" column: peak memory less that of a child that only set up).
// Usage: hostile_input_bench [limit-seconds [case...]]   (default 60 s; a child past the limit
// is killed and reported as such). Cases: baseline attributes namespaces references
// placeholders batch-2m refs-at-cap-2m placeholders-cap big-store-file slow-pkcs12.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_store.h"
#include "platform/certstore/store.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/xmldsig/digital_signature.h"
#include "platform/xmldsig/library_scope.h"
#include "server/classes/digital_certificate.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"

namespace fs = std::filesystem;

namespace {

void Check(bool AOk, const char* AWhat) {
  if (!AOk) throw std::runtime_error(std::string("falhou: ") + AWhat);
}

X509Ptr SelfSigned(EVP_PKEY* AKey, long ASerial) {
  X509Ptr certificate{X509_new()};
  Check(certificate != nullptr, "X509_new");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ASerial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("EMPRESA BENCH"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), AKey);
  Check(X509_sign(certificate.get(), AKey, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

// The signing store: one PEM certificate with its key, serial 0A1B2C.
void WriteSigningCertificate(const fs::path& ADirectory, EVP_PKEY* AKey) {
  const X509Ptr certificate = SelfSigned(AKey, 0x0A1B2C);
  BioPtr bio{BIO_new_file((ADirectory / "10-bench.pem").c_str(), "w")};
  Check(bio != nullptr, "BIO_new_file");
  Check(PEM_write_bio_X509(bio.get(), certificate.get()) == 1, "PEM_write_bio_X509");
  Check(PEM_write_bio_PrivateKey(bio.get(), AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
}

// A password-protected PKCS#12 whose key derivation and MAC take AIterations rounds.
void WriteSlowPkcs12(const fs::path& AFile, EVP_PKEY* AKey, int AIterations) {
  const X509Ptr certificate = SelfSigned(AKey, 0x5105);
  Pkcs12Ptr p12{PKCS12_create("senha", "lento", AKey, certificate.get(), nullptr, 0, 0, AIterations,
                              AIterations, 0)};
  Check(p12 != nullptr, "PKCS12_create");
  BioPtr bio{BIO_new_file(AFile.c_str(), "wb")};
  Check(bio != nullptr && i2d_PKCS12_bio(bio.get(), p12.get()) == 1, "i2d_PKCS12_bio");
}

std::string Repeat(int ACount, const std::function<std::string(int)>& APiece) {
  std::string out;
  for (int i = 0; i < ACount; ++i) out += APiece(i);
  return out;
}

std::string AttributesDocument(int ACount) {
  return "<a" + Repeat(ACount, [](int i) { return " a" + std::to_string(i) + "=\"1\""; }) +
         "><assinatura/></a>";
}

std::string NamespacesDocument(int ACount) {
  return "<a" + Repeat(ACount, [](int i) { return " xmlns:p" + std::to_string(i) + "=\"u\""; }) +
         "><assinatura/></a>";
}

// A client-made signature with ACount whole-document references.
std::string ClientSignature(int ACount) {
  const std::string reference =
      "<ds:Reference URI=\"\"><ds:Transforms><ds:Transform "
      "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/></ds:Transforms>"
      "<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><ds:DigestValue/>"
      "</ds:Reference>";
  return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
         "<ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>" +
         Repeat(ACount, [&](int) { return reference; }) +
         "</ds:SignedInfo><ds:SignatureValue/></ds:Signature>";
}

std::string ReferencesDocument(int ACount) {
  return "<doc><dado>valor</dado>" + ClientSignature(ACount) + "</doc>";
}

std::string PlaceholdersDocument(int ACount) {
  return "<lote>" + Repeat(ACount, [](int) { return std::string("<assinatura/>"); }) + "</lote>";
}

std::string BatchDocument(std::size_t ABytes) {
  const std::string rps =
      "<Rps><Inf Id=\"r\"><Numero>1</Numero><Discriminacao>Suporte técnico e manutenção de "
      "estações de trabalho; atendimento remoto e presencial.</Discriminacao><Valor>1500.00"
      "</Valor></Inf></Rps>";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Lote>";
  while (out.size() + rps.size() < ABytes) out += rps;
  return out + "<assinatura/></Lote>";
}

std::string SignOnce(const std::string& ADocument) {
  const ICertificate2Ptr certificate = TDigitalCertificate().getCertificateBySerial(u"0A1B2C");
  Text signedXml;
  Text status;
  TSignerNFSEDocument().sign(text::FromUtf8(ADocument), *certificate, signedXml, status);
  if (status == signer_messages::kStatusOk) return "assinado";
  const std::string shown = text::ToUtf8(status);
  return "recusado: " + shown.substr(0, 150);
}

std::string ListTwice() {
  using Clock = std::chrono::steady_clock;
  std::string out;
  for (const char* which : {"1a", "2a"}) {
    const auto start = Clock::now();
    const std::size_t count = TDigitalCertificate().getListSerialNumber().size();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char line[96];
    std::snprintf(line, sizeof line, "%s listagem %.2f s (%zu certificados); ", which, seconds,
                  count);
    out += line;
  }
  return out;
}

struct TCase {
  std::string name;
  std::size_t inputBytes;
  std::function<std::string()> run;
};

struct TFigures {
  double cpuSeconds = 0;
  double peakMegabytes = 0;
  bool killed = false;
  std::string outcome;
};

// Runs ACase in a child process and returns what it cost.
TFigures Measure(const TCase& ACase, double ALimitSeconds) {
  int channel[2];
  Check(::pipe(channel) == 0, "pipe");
  const pid_t child = ::fork();
  Check(child >= 0, "fork");
  if (child == 0) {
    ::close(channel[0]);
    // A runaway case stops at 8 GB instead of taking the machine's memory.
    const rlimit memory{8ull << 30, 8ull << 30};
    ::setrlimit(RLIMIT_AS, &memory);
    std::string outcome;
    try {
      outcome = ACase.run();
    } catch (const std::exception& e) {
      outcome = std::string("exceção: ") + e.what();
    }
    if (::write(channel[1], outcome.data(), outcome.size()) < 0) _exit(2);
    _exit(0);
  }
  ::close(channel[1]);
  TFigures figures;
  int status = 0;
  rusage usage{};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(ALimitSeconds);
  for (;;) {
    const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline && !figures.killed) {
      ::kill(child, SIGKILL);
      figures.killed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
    figures.outcome.append(buffer, static_cast<std::size_t>(n));
  ::close(channel[0]);
  if (!figures.killed && WIFSIGNALED(status))
    figures.outcome = "terminado pelo sinal " + std::to_string(WTERMSIG(status));
  figures.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  figures.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const double limit = argc > 1 ? std::stod(argv[1]) : 60.0;
    std::vector<std::string> wanted(argv + std::min(argc, 2), argv + argc);
    TXmlLibraryScope libraries;

    TScratchDirectory storeDirectory("hostile-bench");
    ::setenv("ASSINADOR_NFSE_STORE", storeDirectory.Path().c_str(), 1);
    const EvpPkeyPtr key{EVP_RSA_gen(2048)};
    Check(key != nullptr, "EVP_RSA_gen");
    WriteSigningCertificate(storeDirectory.Path(), key.get());

    // Stores of their own for the store cases, made only when asked for.
    TScratchDirectory bigStore("hostile-bench");
    TScratchDirectory slowStore("hostile-bench");
    const auto use = [](const fs::path& ADirectory) {
      ::setenv("ASSINADOR_NFSE_STORE", ADirectory.c_str(), 1);
    };

    const std::string attributes = AttributesDocument(200000);
    const std::string namespaces = NamespacesDocument(100000);
    const std::string references = ReferencesDocument(2000);
    const std::string placeholders = PlaceholdersDocument(20000);
    const std::string batch = BatchDocument(2 << 20);
    // The largest that is still accepted: as many references and placeholders as allowed.
    std::string referencesAtCap = BatchDocument(2 << 20);
    referencesAtCap.replace(referencesAtCap.find("<assinatura/>"), 13,
                            ClientSignature(xmldsig::kMaxReferences));
    const std::string placeholdersAtCap =
        PlaceholdersDocument(static_cast<int>(signer_text::kMaxPlaceholders));
    constexpr std::uintmax_t kBigFile = 1ull << 30;
    const std::vector<TCase> cases = {
        {"baseline", 0, [] { return std::string("nada"); }},
        {"attributes", attributes.size(), [&] { return SignOnce(attributes); }},
        {"namespaces", namespaces.size(), [&] { return SignOnce(namespaces); }},
        {"references", references.size(), [&] { return SignOnce(references); }},
        {"placeholders", placeholders.size(), [&] { return SignOnce(placeholders); }},
        {"batch-2m", batch.size(), [&] { return SignOnce(batch); }},
        {"refs-at-cap-2m", referencesAtCap.size(), [&] { return SignOnce(referencesAtCap); }},
        {"placeholders-cap", placeholdersAtCap.size(), [&] { return SignOnce(placeholdersAtCap); }},
        {"big-store-file", kBigFile,
         [&] {
           use(bigStore.Path());
           return ListTwice();
         }},
        {"slow-pkcs12", 0,
         [&] {
           use(slowStore.Path());
           return ListTwice();
         }},
    };

    double baseline = 0;
    std::printf("%-16s %12s %9s %9s %9s  %s\n", "caso", "bytes", "CPU s", "pico MB", "cresc. x",
                "resultado");
    for (const TCase& c : cases) {
      const bool asked =
          wanted.empty() || std::find(wanted.begin(), wanted.end(), c.name) != wanted.end();
      if (!asked && c.name != "baseline") continue;
      if (c.name == "big-store-file") {
        // Sparse: a gigabyte on paper, nothing on disk.
        std::ofstream(bigStore.Path() / "grande.pem").close();
        fs::resize_file(bigStore.Path() / "grande.pem", kBigFile);
      }
      if (c.name == "slow-pkcs12")
        WriteSlowPkcs12(slowStore.Path() / "lento.pfx", key.get(), 2000000);
      const TFigures f = Measure(c, limit);
      if (c.name == "baseline") baseline = f.peakMegabytes;
      const double growth = c.inputBytes == 0 ? 0
                                              : (f.peakMegabytes - baseline) * 1048576.0 /
                                                    static_cast<double>(c.inputBytes);
      std::printf("%-16s %12zu %9.2f %9.1f %9.1f  %s%s\n", c.name.c_str(), c.inputBytes,
                  f.cpuSeconds, f.peakMegabytes, growth,
                  f.killed ? "MORTO no limite de tempo; " : "", f.outcome.c_str());
      std::fflush(stdout);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostile_input_bench: %s\n", e.what());
    return 1;
  }
}
