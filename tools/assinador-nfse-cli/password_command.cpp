#include "tools/assinador-nfse-cli/password_command.h"

#include <unistd.h>

#include "platform/exception.h"
#include "platform/password_hash.h"
#include "platform/text.h"
#include "tools/assinador-nfse-cli/console.h"
#include "tools/assinador-nfse-cli/password_input.h"

int PrintPasswordHash(const TCommandLine& ALine) {
  const std::string cancelled = "Cancelado: nenhum hash foi escrito.";
  TSecret typed;
  ReadPassword(ALine.PasswordFile, "Senha: ", cancelled, typed.Bytes());
  if (!ALine.PasswordFile && ::isatty(STDIN_FILENO)) {
    // Typed without echo: a slip would lock every client out.
    TSecret again;
    ReadPassword(std::nullopt, "Repita a senha: ", cancelled, again.Bytes());
    if (again.Bytes() != typed.Bytes()) {
      Report(stderr, "As duas senhas digitadas não são iguais; nenhum hash foi escrito.");
      return kExitFailure;
    }
  }
  if (typed.Bytes().empty()) {
    Report(stderr, "A senha está vazia; nenhum hash foi escrito.");
    return kExitFailure;
  }
  // Clients send the password as text and the server hashes its UTF-8: so is it hashed here,
  // whatever the terminal's character set.
  TSecret utf8;
  utf8.Bytes() = text::ToUtf8(text::FromLocale(typed.Bytes()));
  Write(stdout, password_hash::TPasswordHash::Make(utf8.Bytes()).ToString() + "\n");
  if (::isatty(STDOUT_FILENO))
    Report(stderr,
           "Ponha esta linha na seção [CONFIGURACAO] do arquivo de configuração do servidor como "
           "SENHA_HASH=..., com o nome do usuário em USUARIO=..., e reinicie o servidor (ou envie "
           "SIGHUP).");
  return 0;
}
