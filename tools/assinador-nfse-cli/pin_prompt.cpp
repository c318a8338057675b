#include "tools/assinador-nfse-cli/pin_prompt.h"

#include <fcntl.h>
#include <openssl/crypto.h>

#include "platform/certstore/pin_source.h"
#include "platform/certstore/token_messages.h"
#include "platform/exception.h"
#include "platform/sys/unique_fd.h"
#include "tools/assinador-nfse-cli/console.h"

namespace {

// No PIN is this long.
constexpr std::size_t kMaxPin = 256;

// Asked on the controlling terminal, not on standard input: the document may come from there.
// A PIN the token refused is simply asked again at the next login, by the person.
class TTerminalPinSource : public certstore::IPinSource {
 public:
  std::optional<certstore::TPin> Pin(const certstore::TPinRequest& ARequest,
                                     Text& AWhyNot) override {
    const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal) {
      AWhyNot = u"sem terminal para digitar o PIN: informe-o com --pin-arquivo";
      return std::nullopt;
    }
    std::string prompt = "PIN do token \"" + text::ToUtf8(ARequest.TokenLabel) + "\" (" +
                         text::ToUtf8(ARequest.Holder) + ")";
    if (ARequest.FinalTry) {
      prompt += " — atenção: mais uma tentativa errada bloqueia o PIN";
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
  void Rejected(const certstore::TPinRequest&) override {}
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
