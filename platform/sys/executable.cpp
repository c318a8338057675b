#include "platform/sys/executable.h"

#include <system_error>

#include "platform/exception.h"

namespace sys {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw Exception("Não foi possível obter o caminho do executável: " + ec.message());
  return path;
}

}  // namespace sys
