#include "tools/assinador-nfse-cli/console.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/exception.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"

void Write(std::FILE* AStream, std::string_view ABytes) {
  if (std::fwrite(ABytes.data(), 1, ABytes.size(), AStream) != ABytes.size() ||
      std::fflush(AStream) != 0)
    throw Exception("Não foi possível escrever na saída: " + std::system_category().message(errno));
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

namespace {

// On a terminal and in stderr a load failure shows the first kShownDocumentCharacters of the
// document.
constexpr std::size_t kShownDocumentCharacters = 500;

}  // namespace

Text ForPeople(const Text& AFailure, const Text& ADocument) {
  const Text loadFailed =
      Text{signer_messages::kSignFailed} + CR + Text{signer_messages::kLoadFailed};
  if (AFailure.rfind(loadFailed, 0) != 0) return AFailure;
  Text shown = AFailure.substr(0, loadFailed.size() + kShownDocumentCharacters);
  if (const std::size_t omitted = AFailure.size() - shown.size(); omitted > 0)
    shown += u"… (mais " + text::FromAscii(std::to_string(omitted)) + u" caracteres omitidos)";
  if (const Text reason = TSignerNFSEDocument::LoadFailureReason(ADocument); !reason.empty())
    shown += CR + (u"Motivo: " + reason);
  return shown;
}
