#include "tools/assinador-nfse-cli/console.h"

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
