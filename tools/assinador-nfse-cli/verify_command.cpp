#include "tools/assinador-nfse-cli/verify_command.h"

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

// "rps7 (InfDeclaracaoPrestacaoServico)", or "do documento" for the whole document.
std::string ContentOf(const std::string& AId, const std::string& AElement) {
  if (AId.empty()) return "do documento";
  return "de " + AId + (AElement.empty() ? "" : " (" + AElement + ")");
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
      verdict.reason = "o conteúdo " + ContentOf(ACheck.failedId, ACheck.failedElement) +
                       " foi alterado depois de assinado";
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
  std::string line =
      "assinatura " + std::to_string(ACheck.index) + " de " + std::to_string(ATotal) +
      (ACheck.id.empty() ? " (documento inteiro)" : " (Id " + ACheck.id + ")") + ": " +
      (AVerdict.valid    ? "válida"
       : AVerdict.intact ? "íntegra, mas não aceita: "
       : AVerdict.empty  ? "não assinada: "
                         : "inválida: ") +
      AVerdict.reason;
  if (const ICertificate2Ptr& certificate = ACheck.certificate) {
    line += "; certificado " +
            text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME)) + ", série " +
            text::ToUtf8(certificate->SerialNumber()) + ", válido de " +
            LocalDate(certificate->ValidFrom()) + " até " + LocalDate(certificate->ValidTo());
  }
  if (ACheck.chain == TChainState::Trusted) line += "; cadeia confiável";
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
  std::string out = "{\"index\":" + std::to_string(ACheck.index) + ",\"id\":" + Json(ACheck.id) +
                    ",\"element\":" + Json(ACheck.element) +
                    ",\"valid\":" + (AVerdict.valid ? "true" : "false") +
                    ",\"intact\":" + (AVerdict.intact ? "true" : "false") +
                    ",\"reason\":" + Json(AVerdict.reason);
  if (const ICertificate2Ptr& certificate = ACheck.certificate) {
    out += ",\"subject\":" +
           Json(text::ToUtf8(certificate->GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME))) +
           ",\"serial\":" + Json(text::ToUtf8(certificate->SerialNumber())) +
           ",\"notBefore\":" + Json(UtcDate(certificate->ValidFrom())) +
           ",\"notAfter\":" + Json(UtcDate(certificate->ValidTo()));
  } else {
    out += ",\"subject\":null,\"serial\":null,\"notBefore\":null,\"notAfter\":null";
  }
  out += ",\"chain\":" + Json(chain);
  if (ACheck.chain == TChainState::Untrusted)
    out += ",\"chainReason\":" + Json(ChainReason(ACheck));
  return out + "}";
}

// Checks one file and shows its outcome; whether every signature of it is valid.
bool VerifyOne(const TCommandLine& ALine, TReadInput AReadInput, const std::string& AInput,
               const std::vector<X509Ptr>* AAnchors, std::time_t ANow, bool ASeveral) {
  std::vector<TSignatureCheck> checks;
  std::string failure;
  try {
    const TDecodedDocument document = DecodeDocument(AReadInput(AInput));
    IXMLDOMDocument3 dom;
    if (!dom.loadXML(document.Content))
      throw Exception("o documento não é um XML que se possa ler: " +
                      text::ToUtf8(dom.parseError()));
    checks = xmldsig::CheckSignatures(*dom.Handle(), AAnchors, ANow);
    if (checks.empty()) failure = "nenhuma assinatura (Signature do XML-DSig) no documento";
  } catch (const std::exception& e) {
    failure = text::ToUtf8(MessageOf(e));
  }
  while (!failure.empty() && (failure.back() == '\n' || failure.back() == ' ')) failure.pop_back();

  std::vector<TVerdict> verdicts;
  bool valid = failure.empty();
  for (const TSignatureCheck& check : checks) {
    verdicts.push_back(VerdictOf(check, ANow));
    valid = valid && verdicts.back().valid;
  }

  if (ALine.Json) {
    std::string out = "{\"file\":" + Json(AInput) + ",\"valid\":" + (valid ? "true" : "false") +
                      ",\"error\":" + (failure.empty() ? "null" : Json(failure)) +
                      ",\"signatures\":[";
    for (std::size_t k = 0; k < checks.size(); ++k) {
      if (k > 0) out += ',';
      out += JsonOf(checks[k], verdicts[k]);
    }
    Write(stdout, out + "]}\n");
    return valid;
  }
  const std::string indent = ASeveral ? "  " : "";
  if (ASeveral) Write(stdout, text::ToLocale(text::FromUtf8(AInput + ":")) + "\n");
  if (!failure.empty()) Report(stderr, AInput + ": " + failure);
  for (std::size_t k = 0; k < checks.size(); ++k)
    Write(stdout,
          text::ToLocale(text::FromUtf8(indent + Line(checks[k], checks.size(), verdicts[k]))) +
              "\n");
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
