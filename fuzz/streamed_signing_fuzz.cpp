// Signing reads plain documents in one pass without a tree and leaves every other one to the
// tree path; for any document both readings must give the same status text and the same signed
// text. Signs each input both ways with the fixed test key of signing_driver.h (which also
// decodes the input) and stops at the first difference, showing where the two texts part.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/signing_driver.h"
#include "platform/xmldsig/document_stream.h"
#include "server/classes/signer.h"
#include "server/classes/signer_messages.h"
#include "server/classes/signer_text.h"

namespace {

struct TResult {
  Text signedXml = u"antes";
  Text status;
};

TResult Sign(const Text& ADocument, TDocumentReading AReading) {
  TResult result;
  TSignerNFSEDocument(AReading).sign(ADocument, *signing_fuzz::Signer().certificate,
                                     result.signedXml, result.status);
  return result;
}

// Whether the streamed reading reads the document itself rather than leaving it to the tree.
bool StreamReads(const Text& ADocument) {
  const std::optional<std::string> prepared = signer_text::PrepareDocumentUtf8(ADocument);
  return prepared && xmldsig::StreamEnvelopedDocument(
                         *prepared, text::ToUtf8(signer_messages::kSignatureTemplate));
}

// The text around AAt, in UTF-8 (a lone surrogate shows as U+FFFD).
std::string Around(const Text& AText, std::size_t AAt) {
  constexpr std::size_t kBefore = 60;
  constexpr std::size_t kAfter = 120;
  const std::size_t from = AAt > kBefore ? AAt - kBefore : 0;
  return text::ToUtf8(TextView{AText}.substr(from, AAt - from + kAfter));
}

[[noreturn]] void Differ(const char* AWhat, const Text& ADocument, const Text& ATree,
                         const Text& AStream) {
  const std::size_t common = std::min(ATree.size(), AStream.size());
  const std::size_t at =
      std::mismatch(ATree.begin(), ATree.begin() + static_cast<std::ptrdiff_t>(common),
                    AStream.begin())
          .first -
      ATree.begin();
  std::fprintf(stderr,
               "leituras divergem: %s (a leitura em fluxo %s o documento)\n"
               "primeira diferença na posição %zu (UTF-16); tamanhos: árvore %zu, fluxo %zu\n"
               "árvore: ...%s...\n"
               "fluxo:  ...%s...\n",
               AWhat, StreamReads(ADocument) ? "leu" : "recusou", at, ATree.size(), AStream.size(),
               Around(ATree, at).c_str(), Around(AStream, at).c_str());
  std::abort();
}

void CheckSameReadings(const Text& ADocument) {
  const TResult tree = Sign(ADocument, TDocumentReading::TreeOnly);
  const TResult stream = Sign(ADocument, TDocumentReading::Streamed);
  if (stream.status != tree.status) Differ("situação", ADocument, tree.status, stream.status);
  if (stream.signedXml != tree.signedXml)
    Differ("texto assinado", ADocument, tree.signedXml, stream.signedXml);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signing_fuzz::Signer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  CheckSameReadings(signing_fuzz::Decode(AData, ASize));
  return 0;
}
