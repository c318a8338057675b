#include "tools/assinador-nfse-cli/verify_command.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/sys/date_time_text.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/signature_verification.h"
#include "server/utils/certificate_validity.h"
#include "tools/assinador-nfse-cli/console.h"
#include "tools/assinador-nfse-cli/document_encoding.h"

namespace {

using xmldsig::TChainState;
using xmldsig::TSignatureCheck;
using xmldsig::TSignatureState;

std::string LocalDate(std::time_t AMoment) {
  std::tm local{};
  localtime_r(&AMoment, &local);
  return text::ToUtf8(sys::FormatDateTime(local, 0));
}

std::string UtcDate(std::time_t AMoment) {
  std::tm utc{};
  gmtime_r(&AMoment, &utc);
  char out[32];
  std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return out;
}

// "rps7 (InfDeclaracaoPrestacaoServico em /…/Rps[7]/InfDeclaracaoPrestacaoServico)", or "do
// documento" for the whole document.
std::string ContentOf(const std::string& AId, const std::string& AElement,
                      const std::string& APlace) {
  if (AId.empty()) return "do documento";
  std::string out = "de " + AId;
  if (!AElement.empty()) out += " (" + AElement + (APlace.empty() ? "" : " em " + APlace) + ")";
  return out;
}

// What a signature covers, as its line shows it: "(documento inteiro)" or
// "(Id rps7: InfDeclaracaoPrestacaoServico em /…/InfDeclaracaoPrestacaoServico)".
std::string CoverageOf(const TSignatureCheck& ACheck) {
  // A signature refused for its form may name nothing that could be resolved.
  if (ACheck.references.empty()) return {};
  std::string out;
  for (const xmldsig::TCoveredElement& covered : ACheck.references) {
    out += out.empty() ? " (" : "; ";
    if (covered.id.empty()) {
      out += "documento inteiro";
      continue;
    }
    out += "Id " + covered.id;
    if (!covered.element.empty()) out += ": " + covered.element + " em " + covered.place;
  }
  return out + ")";
}

// The first bytes of the certificate's SHA-256 fingerprint: two certificates that differ only
// in their issuer's key never read alike.
std::string Fingerprint(const ICertificate2& ACertificate, std::size_t ABytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(ACertificate.Handle(), EVP_sha256(), digest, &length) != 1) return {};
  std::string out;
  char hex[3];
  for (unsigned int k = 0; k < length && k < ABytes; ++k) {
    std::snprintf(hex, sizeof hex, "%02X", digest[k]);
    out += hex;
  }
  return out;
}

std::string ChainReason(const TSignatureCheck& ACheck) {
  const std::string about = ACheck.chainSubject.empty() ? "" : " " + ACheck.chainSubject;
  switch (ACheck.chainError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      return "falta o certificado da AC que emitiu o certificado" + about +
             " (nem no documento nem em --ac)";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "a AC raiz" + about + " não está entre as ACs dadas em --ac";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "o certificado da AC" + about + " venceu em " + LocalDate(ACheck.chainNotAfter);
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "o certificado da AC" + about + " ainda não é válido";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return "a assinatura do certificado" + about + " não confere com a AC emissora";
    case X509_V_ERR_INVALID_CA:
      return "o certificado" + about + " não é de uma AC";
    default:
      return std::string("erro do OpenSSL: ") + X509_verify_cert_error_string(ACheck.chainError);
  }
}

// One signature's outcome: whether it is valid, and why not in words.
struct TVerdict {
  bool valid = false;
  bool intact = false;  // digests and signature value hold with the certificate
  bool empty = false;   // an unsigned template
  std::string reason;   // empty when valid
};

TVerdict VerdictOf(const TSignatureCheck& ACheck, std::time_t ANow) {
  TVerdict verdict;
  switch (ACheck.state) {
    case TSignatureState::Valid:
      verdict.intact = true;
      break;
    case TSignatureState::Unsigned:
      verdict.empty = true;
      verdict.reason = "o modelo de assinatura está vazio";
      return verdict;
    case TSignatureState::Refused:
      verdict.reason = "a assinatura não é aceita: " + ACheck.detail;
      return verdict;
    case TSignatureState::MissingElement:
      verdict.reason = "a referência #" + ACheck.failedId + " não aponta para nenhum elemento";
      return verdict;
    case TSignatureState::NoCertificate:
      verdict.reason = "a assinatura não traz o certificado (X509Certificate em KeyInfo)";
      return verdict;
    case TSignatureState::ContentChanged:
      verdict.reason = "o conteúdo " +
                       ContentOf(ACheck.failedId, ACheck.failedElement, ACheck.failedPlace) +
                       " foi alterado depois de assinado";
      return verdict;
    case TSignatureState::CertificateRefused:
      verdict.intact = true;
      verdict.reason = "o certificado não serve para assinar NFS-e: " + ACheck.detail;
      return verdict;
    case TSignatureState::ValueMismatch:
      verdict.reason = "o valor da assinatura não confere com o certificado";
      return verdict;
    case TSignatureState::Unreadable:
      verdict.reason = "não foi possível processar a assinatura" +
                       (ACheck.detail.empty() ? std::string{} : ": " + ACheck.detail);
      return verdict;
  }
  if (ACheck.chain == TChainState::Untrusted) {
    verdict.reason = "a cadeia do certificado não chega a uma AC confiável: " + ChainReason(ACheck);
    return verdict;
  }
  const ICertificate2& certificate = *ACheck.certificate;
  switch (ValidityAt(certificate.ValidFrom(), certificate.ValidTo(), ANow)) {
    case TValidity::Expired:
      verdict.reason = "o certificado venceu em " + LocalDate(certificate.ValidTo()) +
                       " (o documento não traz a data da assinatura)";
      return verdict;
    case TValidity::NotYetValid:
      verdict.reason =
          "o certificado só é válido a partir de " + LocalDate(certificate.ValidFrom());
      return verdict;
    case TValidity::Valid:
      break;
  }
  verdict.valid = true;
  return verdict;
}

std::string Line(const TSignatureCheck& ACheck, std::size_t ATotal, const TVerdict& AVerdict) {
  std::string line = "assinatura " + std::to_string(ACheck.index) + " de " +
                     std::to_string(ATotal) + CoverageOf(ACheck) + ": " +
                     (AVerdict.valid    ? "válida"
                      : AVerdict.intact ? "íntegra, mas não aceita: "
                      : AVerdict.empty  ? "não assinada: "
                                        : "inválida: ") +
                     AVerdict.reason;
  if (const ICertificate2Ptr& certificate = ACheck.certificate) {
    line += "; certificado " +
            text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME)) + ", série " +
            text::ToUtf8(certificate->SerialNumber()) + ", emitido por " +
            text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME)) +
            ", válido de " + LocalDate(certificate->ValidFrom()) + " até " +
            LocalDate(certificate->ValidTo()) + ", SHA-256 " + Fingerprint(*certificate, 8);
  }
  if (ACheck.chain == TChainState::Trusted) line += "; cadeia confiável";
  // Without anchors a look-alike certificate would read like the genuine one: the line says
  // that nothing vouched for it.
  if (ACheck.chain == TChainState::NotChecked && AVerdict.valid)
    line += "; cadeia não verificada (use --ac)";
  return line;
}

std::string Json(std::string_view AText) {
  std::string out = "\"";
  for (const char c : AText) {
    const auto unit = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (unit < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonOf(const TSignatureCheck& ACheck, const TVerdict& AVerdict) {
  const char* const chain = ACheck.chain == TChainState::Trusted     ? "trusted"
                            : ACheck.chain == TChainState::Untrusted ? "untrusted"
                                                                     : "not-checked";
  std::string references;
  for (const xmldsig::TCoveredElement& covered : ACheck.references) {
    references += references.empty() ? "[" : ",";
    references += "{\"id\":" + Json(covered.id) + ",\"element\":" + Json(covered.element) +
                  ",\"place\":" + Json(covered.place) + "}";
  }
  references += references.empty() ? "[]" : "]";
  std::string out = "{\"index\":" + std::to_string(ACheck.index) + ",\"id\":" + Json(ACheck.id) +
                    ",\"element\":" + Json(ACheck.element) + ",\"place\":" + Json(ACheck.place) +
                    ",\"references\":" + references +
                    ",\"valid\":" + (AVerdict.valid ? "true" : "false") +
                    ",\"intact\":" + (AVerdict.intact ? "true" : "false") +
                    ",\"reason\":" + Json(AVerdict.reason);
  if (const ICertificate2Ptr& certificate = ACheck.certificate) {
    out += ",\"subject\":" +
           Json(text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME))) +
           ",\"serial\":" + Json(text::ToUtf8(certificate->SerialNumber())) + ",\"issuer\":" +
           Json(text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME))) +
           ",\"sha256\":" + Json(Fingerprint(*certificate, 32)) +
           ",\"notBefore\":" + Json(UtcDate(certificate->ValidFrom())) +
           ",\"notAfter\":" + Json(UtcDate(certificate->ValidTo()));
  } else {
    out +=
        ",\"subject\":null,\"serial\":null,\"issuer\":null,\"sha256\":null,"
        "\"notBefore\":null,\"notAfter\":null";
  }
  out += ",\"chain\":" + Json(chain);
  out += ",\"chainReason\":" +
         (ACheck.chain == TChainState::Untrusted ? Json(ChainReason(ACheck)) : "null");
  return out + "}";
}

// Checks one file and shows its outcome; whether every signature of it is valid.
bool VerifyOne(const TCommandLine& ALine, TReadInput AReadInput, const std::string& AInput,
               const std::vector<X509Ptr>* AAnchors, std::time_t ANow, bool ASeveral) {
  xmldsig::TDocumentCheck result;
  std::string failure;
  try {
    const TDecodedDocument document = DecodeDocument(AReadInput(AInput));
    IXMLDOMDocument3 dom;
    if (!dom.loadXML(document.Content))
      throw Exception("o documento não é um XML que se possa ler: " +
                      text::ToUtf8(dom.parseError()));
    result = xmldsig::CheckSignatures(*dom.Handle(), AAnchors, ANow);
    if (result.signatures.empty())
      failure = "nenhuma assinatura (Signature do XML-DSig) no documento";
  } catch (const std::exception& e) {
    failure = text::ToUtf8(MessageOf(e));
  }
  while (!failure.empty() && (failure.back() == '\n' || failure.back() == ' ')) failure.pop_back();
  const std::vector<TSignatureCheck>& checks = result.signatures;

  std::vector<TVerdict> verdicts;
  bool valid = failure.empty();
  for (const TSignatureCheck& check : checks) {
    verdicts.push_back(VerdictOf(check, ANow));
    valid = valid && verdicts.back().valid;
  }
  // Content outside every valid signature is shown always, and fails the file when asked to.
  std::vector<std::string> uncovered;
  if (failure.empty()) {
    for (const std::string& place : result.uncovered)
      uncovered.push_back("conteúdo fora de qualquer assinatura: " + place);
    if (result.uncoveredTotal > result.uncovered.size())
      uncovered.push_back("conteúdo fora de qualquer assinatura: mais " +
                          std::to_string(result.uncoveredTotal - result.uncovered.size()) +
                          " lugares");
    if (ALine.Strict && result.uncoveredTotal > 0) valid = false;
  }

  if (ALine.Json) {
    std::string out = "{\"file\":" + Json(AInput) + ",\"valid\":" + (valid ? "true" : "false") +
                      ",\"error\":" + (failure.empty() ? "null" : Json(failure)) +
                      ",\"signatures\":[";
    for (std::size_t k = 0; k < checks.size(); ++k) {
      if (k > 0) out += ',';
      out += JsonOf(checks[k], verdicts[k]);
    }
    out += "],\"uncovered\":[";
    for (std::size_t k = 0; k < result.uncovered.size(); ++k)
      out += (k > 0 ? "," : "") + Json(result.uncovered[k]);
    out += "],\"uncoveredTotal\":" + std::to_string(result.uncoveredTotal);
    Write(stdout, out + "}\n");
    return valid;
  }
  const std::string indent = ASeveral ? "  " : "";
  if (ASeveral) Write(stdout, text::ToLocale(text::FromUtf8(AInput + ":")) + "\n");
  if (!failure.empty()) Report(stderr, AInput + ": " + failure);
  for (std::size_t k = 0; k < checks.size(); ++k)
    Write(stdout,
          text::ToLocale(text::FromUtf8(indent + Line(checks[k], checks.size(), verdicts[k]))) +
              "\n");
  for (const std::string& line : uncovered)
    Write(stdout, text::ToLocale(text::FromUtf8(indent + line)) + "\n");
  return valid;
}

}  // namespace

int VerifyDocuments(const TCommandLine& ALine, TReadInput AReadInput) {
  std::optional<std::vector<X509Ptr>> anchors;
  if (ALine.Anchors) anchors = xmldsig::LoadTrustAnchors(*ALine.Anchors);
  const std::time_t now = std::time(nullptr);
  bool valid = true;
  for (const std::string& input : ALine.Inputs) {
    if (!VerifyOne(ALine, AReadInput, input, anchors ? &*anchors : nullptr, now,
                   ALine.Inputs.size() > 1))
      valid = false;
  }
  return valid ? 0 : kExitFailure;
}
