#include "tools/assinador-nfse-cli/password_input.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/exception.h"
#include "platform/sys/system_error_text.h"
#include "tools/assinador-nfse-cli/console.h"

namespace {

[[noreturn]] void Fail(const std::string& AMessage) { throw Exception(std::string_view{AMessage}); }

// The first line of ABytes without its line break (LF or CR LF).
void FirstLine(std::string& ABytes) {
  const auto end = ABytes.find('\n');
  if (end != std::string::npos) {
    // The rest goes now: it may hold other secrets.
    OPENSSL_cleanse(ABytes.data() + end, ABytes.size() - end);
    ABytes.resize(end);
  }
  if (ABytes.ends_with('\r')) ABytes.pop_back();
}

// One line of standard input, from a pipe or a file.
void ReadFromInput(std::string& APassword) {
  // Room for the longest password up front: a growing string would free unwiped copies of it.
  APassword.reserve(kMaxPassword);
  bool lineRead = false;
  for (;;) {
    const int c = std::fgetc(stdin);
    if (c == EOF || c == '\n') {
      lineRead = c == '\n' || !APassword.empty();
      break;
    }
    if (APassword.size() >= kMaxPassword)
      Fail("A senha lida da entrada padrão passa de " + std::to_string(kMaxPassword) +
           " caracteres.");
    APassword.push_back(static_cast<char>(c));
  }
  if (std::ferror(stdin)) Fail("Não foi possível ler a senha da entrada padrão.");
  // Nothing at all, not even an empty line: no password was given (an empty line is the empty
  // password).
  if (!lineRead)
    Fail(
        "Nenhuma senha foi lida: a entrada padrão está vazia. Digite a senha no terminal, "
        "mande-a numa linha pela entrada padrão ou use --senha-arquivo.");
  if (APassword.ends_with('\r')) APassword.pop_back();
}

}  // namespace

TSecret::~TSecret() { OPENSSL_cleanse(FBytes.data(), FBytes.size()); }

std::string ReadBounded(const std::string& AFile, std::size_t AMax, const std::string& ATooLong) {
  std::ifstream in(AFile, std::ios::binary);
  if (!in) Fail(sys::ErrorMessage("Não foi possível abrir \"" + AFile + "\"", errno));
  std::string bytes(AMax + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) Fail("Não foi possível ler \"" + AFile + "\".");
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > AMax) Fail(ATooLong);
  return bytes;
}

void ReadPassword(const std::optional<std::string>& AFile, const std::string& APrompt,
                  const std::string& ACancelled, std::string& APassword) {
  if (AFile) {
    APassword =
        ReadBounded(*AFile, 64 * 1024, "O arquivo de senha \"" + *AFile + "\" é grande demais.");
    FirstLine(APassword);
  } else if (::isatty(STDIN_FILENO)) {
    if (!ReadSecretFromTerminal(STDIN_FILENO, APrompt, APassword, kMaxPassword)) Fail(ACancelled);
  } else {
    ReadFromInput(APassword);
  }
}
