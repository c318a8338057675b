#include "tools/assinador-nfse-cli/console.h"

#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/exception.h"
#include "platform/sys/system_error_text.h"
#include "server/classes/certificate_messages.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

void Write(std::FILE* AStream, std::string_view ABytes) {
  if (std::fwrite(ABytes.data(), 1, ABytes.size(), AStream) != ABytes.size() ||
      std::fflush(AStream) != 0)
    throw Exception(sys::ErrorMessage("Não foi possível escrever na saída", errno));
}

void Report(std::FILE* AStream, TextView AMessage) {
  Text shown(AMessage);
  for (auto& c : shown)
    if (c == u'\r') c = u'\n';
  std::string bytes = text::ToLocale(shown);
  if (!bytes.ends_with('\n')) bytes += '\n';
  std::fwrite(bytes.data(), 1, bytes.size(), AStream);
  std::fflush(AStream);
}

void Report(std::FILE* AStream, std::string_view AUtf8) { Report(AStream, text::FromUtf8(AUtf8)); }

namespace {

// The terminal's settings, put back whatever happens while the secret is typed.
class TTerminalMode {
 public:
  explicit TTerminalMode(int AFd) : FFd(AFd) {
    if (::tcgetattr(FFd, &FSaved) != 0) throw Exception("Não foi possível ler do terminal.");
    termios quiet = FSaved;
    // No echo; keys read one by one, so that Ctrl-C cancels at once and puts the echo back
    // (a signal would end the program with the terminal still silent).
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    quiet.c_cc[VMIN] = 1;
    quiet.c_cc[VTIME] = 0;
    if (::tcsetattr(FFd, TCSAFLUSH, &quiet) != 0)
      throw Exception("Não foi possível ler do terminal.");
  }
  ~TTerminalMode() { ::tcsetattr(FFd, TCSAFLUSH, &FSaved); }
  TTerminalMode(const TTerminalMode&) = delete;
  TTerminalMode& operator=(const TTerminalMode&) = delete;
  const termios& Saved() const { return FSaved; }

 private:
  int FFd;
  termios FSaved{};
};

}  // namespace

bool ReadSecretFromTerminal(int AFd, const std::string& APrompt, std::string& ASecret,
                            std::size_t AMax) {
  std::fputs(text::ToLocale(text::FromUtf8(APrompt)).c_str(), stderr);
  std::fflush(stderr);
  bool cancelled = false;
  // Room for the longest secret up front: a growing string would free unwiped copies of it.
  ASecret.reserve(AMax);
  {
    const TTerminalMode mode(AFd);
    const cc_t* keys = mode.Saved().c_cc;
    for (;;) {
      unsigned char c = 0;
      const ssize_t n = ::read(AFd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n' || c == '\r') break;
      if (c == keys[VINTR] || (c == keys[VEOF] && ASecret.empty())) {
        cancelled = true;
        break;
      }
      if (c == keys[VERASE] || c == 0x7F || c == 0x08) {
        // One character, whatever the number of its UTF-8 bytes.
        while (!ASecret.empty() && (static_cast<unsigned char>(ASecret.back()) & 0xC0) == 0x80)
          ASecret.pop_back();
        if (!ASecret.empty()) ASecret.pop_back();
      } else if (c == keys[VKILL]) {
        OPENSSL_cleanse(ASecret.data(), ASecret.size());
        ASecret.clear();
      } else if (ASecret.size() < AMax) {
        ASecret.push_back(static_cast<char>(c));
      }
    }
  }
  std::fputs("\n", stderr);
  return !cancelled;
}

TSigningReport::TSigningReport(std::size_t ATotal)
    : FTotal(ATotal), FSeveral(ATotal > 1), FProgress(FSeveral && ::isatty(STDERR_FILENO)) {}

void TSigningReport::Starting(std::size_t AIndex, const std::string& AInput) {
  if (!FProgress) return;
  const std::string line = "\r\033[K[" + std::to_string(AIndex + 1) + "/" + std::to_string(FTotal) +
                           "] assinando " + AInput;
  std::fputs(text::ToLocale(text::FromUtf8(line)).c_str(), stderr);
  std::fflush(stderr);
}

void TSigningReport::Finished(const std::string& AInput, const std::string& AWrittenTo,
                              TextView AFailure, int AAttempts) {
  if (FProgress) std::fputs("\r\033[K", stderr);
  const bool failed = !AFailure.empty();
  if (failed) ++FFailures;
  const bool retried = AAttempts > 1;
  if (FSeveral || retried) {
    std::string line = AInput + (failed               ? ": ERRO"
                                 : AWrittenTo.empty() ? ": assinado"
                                                      : ": assinado em " + AWrittenTo);
    if (retried) line += " (" + std::to_string(AAttempts) + " tentativas)";
    // A single file's document may be on standard output: its line goes to standard error.
    Report(failed || !FSeveral ? stderr : stdout, line);
  }
  if (failed) Report(stderr, AFailure);
}

int TSigningReport::End() {
  if (FSeveral)
    Report(FFailures == 0 ? stdout : stderr, std::to_string(FTotal - FFailures) + " de " +
                                                 std::to_string(FTotal) +
                                                 " arquivo(s) assinado(s).");
  return FFailures == 0 ? 0 : kExitFailure;
}

const char kTemplateHint[] =
    "O documento não tem onde pôr a assinatura: falta o marcador <assinatura/> ou um elemento "
    "Signature de XML-DSig (veja \"assinador-nfse-cli assinar --help\").";

Text ForPeople(const Text& AFailure, const Text& ADocument, bool ARemote) {
  // The service's three bracketed lines say one thing: no such certificate.
  if (AFailure.find(certificate_messages::kNotFound) != Text::npos)
    return ARemote ? Text{u"O servidor não tem um certificado com esse número de série (nem num "
                          u"token conectado a ele). Veja os certificados dele com "
                          u"\"assinador-nfse-cli remoto certificados\"."}
                   : Text{u"Nenhum certificado com esse número de série no repositório nem num "
                          u"token conectado. Veja os certificados com "
                          u"\"assinador-nfse-cli certificados\"."};
  const Text loadFailed =
      Text{signer_messages::kSignFailed} + CR + Text{signer_messages::kLoadFailed};
  if (AFailure.rfind(loadFailed, 0) == 0) {
    Text shown = u"O arquivo não pôde ser lido como documento XML.";
    const Text reason = TSignerNFSEDocument::LoadFailureReason(ADocument);
    if (reason == signer_messages::kTooManyPlaceholders) {
      shown = reason + u".";
    } else if (!reason.empty()) {
      shown += CR + (u"Detalhe: " + reason);
    }
    return shown;
  }
  if (AFailure.find(signer_messages::kTemplateMissing) != Text::npos)
    return AFailure + CR + text::FromUtf8(kTemplateHint);
  return AFailure;
}

Text SigningFailure(const std::string& AInput, TextView ASerial, TextView AReason) {
  const std::string file = AInput == "-" ? "a entrada padrão" : "\"" + AInput + "\"";
  return text::FromUtf8("Não foi possível assinar " + file + " com o certificado ") +
         Text(ASerial) + u"." + CR + Text(AReason);
}
