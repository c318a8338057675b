#include "tools/assinador-nfse-cli/pin_prompt.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/certstore/pin_source.h"
#include "platform/certstore/token_messages.h"
#include "platform/exception.h"
#include "platform/sys/unique_fd.h"
#include "tools/assinador-nfse-cli/console.h"

namespace {

// No PIN is this long.
constexpr std::size_t kMaxPin = 256;

// How many PINs a token may refuse in one run before no more are asked: each refusal costs one
// of the few tries a token allows before it locks, and a run signs many files.
constexpr int kRefusalsPerRun = 2;

// Asked on the controlling terminal, not on standard input: the document may come from there.
// A PIN the token refused is asked once more, saying so; after a second refusal the run asks
// no more, and every later file fails with the reason.
class TTerminalPinSource : public certstore::IPinSource {
 public:
  std::optional<certstore::TPin> Pin(const certstore::TPinRequest& ARequest,
                                     Text& AWhyNot) override {
    const int refused = FRefused.load();
    if (refused >= kRefusalsPerRun) {
      AWhyNot = u"o token recusou o PIN " + text::FromUtf8(std::to_string(refused)) +
                u" vezes nesta execução; nenhum outro é pedido, para não bloquear o token";
      return std::nullopt;
    }
    const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal) {
      AWhyNot = u"sem terminal para digitar o PIN: informe-o com --pin-arquivo";
      return std::nullopt;
    }
    // The prompt takes the line of a progress report ("[2/3] assinando ...") on a terminal,
    // rather than running on after it.
    std::string prompt = std::string(::isatty(STDERR_FILENO) ? "\r\033[K" : "") +
                         "PIN do token \"" + text::ToUtf8(ARequest.TokenLabel) + "\" (" +
                         text::ToUtf8(ARequest.Holder) + ")";
    if (ARequest.FinalTry) {
      prompt += " — atenção: mais uma tentativa errada bloqueia o PIN";
    } else if (refused > 0) {
      prompt += " — o PIN anterior foi recusado; esta é a última tentativa nesta execução";
    } else if (ARequest.CountLow) {
      prompt += " — o token já registra tentativas erradas";
    }
    certstore::TPin pin;
    std::string typed;
    try {
      const bool given = ReadSecretFromTerminal(terminal.get(), prompt + ": ", typed, kMaxPin);
      pin = certstore::TPin{typed};
      typed.resize(typed.capacity());
      OPENSSL_cleanse(typed.data(), typed.size());
      if (!given) {
        AWhyNot = Text{token_messages::kPinCancelled};
        return std::nullopt;
      }
    } catch (const std::exception&) {
      AWhyNot = u"sem terminal para digitar o PIN: informe-o com --pin-arquivo";
      return std::nullopt;
    }
    return pin;
  }
  void Rejected(const certstore::TPinRequest&) override { ++FRefused; }

 private:
  std::atomic<int> FRefused{0};
};

}  // namespace

void UsePinSource(const TCommandLine& ALine) {
  if (ALine.PinFile) {
    auto source = std::make_shared<certstore::TPinFileSource>(*ALine.PinFile);
    // Told before any document is read, not at the first token signature.
    if (Text problem = source->Problem(); !problem.empty()) {
      if (problem[0] >= u'a' && problem[0] <= u'z') problem[0] = problem[0] - u'a' + u'A';
      throw Exception(problem + u".");
    }
    certstore::SetPinSource(std::move(source));
  } else {
    certstore::SetPinSource(std::make_shared<TTerminalPinSource>());
  }
}
