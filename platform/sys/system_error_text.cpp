#include "platform/sys/system_error_text.h"

#include <cerrno>
#include <system_error>

namespace sys {

namespace {

const char* OwnReason(int AErrno) {
  switch (AErrno) {
    case ENOENT:
      return "o arquivo ou a pasta não existe";
    case EACCES:
    case EPERM:
      return "permissão negada (confira o dono e as permissões do arquivo ou da pasta)";
    case EISDIR:
      return "é uma pasta, não um arquivo";
    case ENOTDIR:
      return "um dos nomes do caminho não é uma pasta";
    case ENOSPC:
      return "não há espaço livre no disco";
    case EDQUOT:
      return "a cota de disco do usuário acabou";
    case EROFS:
      return "o sistema de arquivos é somente leitura";
    case ENAMETOOLONG:
      return "o nome do arquivo é longo demais";
    case ELOOP:
      return "links simbólicos demais (ou em círculo) no caminho";
    case EMFILE:
    case ENFILE:
      return "arquivos abertos demais";
    case EEXIST:
      return "o arquivo já existe";
    case EIO:
      return "erro de leitura ou gravação no dispositivo";
    case ECONNREFUSED:
      return "conexão recusada (nenhum programa atende nessa porta: confira se o servidor está "
             "em execução e a porta)";
    case ETIMEDOUT:
      return "tempo esgotado sem resposta (confira o endereço, a rede e o firewall)";
    case EHOSTUNREACH:
      return "a máquina não pode ser alcançada pela rede";
    case ENETUNREACH:
      return "a rede não pode ser alcançada";
    case ECONNRESET:
      return "a conexão foi encerrada pelo outro lado";
    case EPIPE:
      return "a conexão foi fechada pelo outro lado";
    case EADDRINUSE:
      return "a porta já está em uso por outro programa";
    case EADDRNOTAVAIL:
      return "o endereço não pertence a esta máquina";
    case EAFNOSUPPORT:
      return "o sistema não oferece esse tipo de endereço (IPv4 ou IPv6)";
    default:
      return nullptr;
  }
}

}  // namespace

bool HasOwnReason(int AErrno) { return OwnReason(AErrno) != nullptr; }

std::string ErrorReason(int AErrno) {
  if (const char* own = OwnReason(AErrno)) return own;
  return "erro do sistema " + std::to_string(AErrno);
}

std::string ErrorMessage(const std::string& AWhat, int AErrno) {
  std::string message = AWhat + ": " + ErrorReason(AErrno) + ".";
  if (!HasOwnReason(AErrno)) message += "\nDetalhe: " + std::system_category().message(AErrno);
  return message;
}

}  // namespace sys
