#include "tools/assinador-nfse-cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/exception.h"

namespace {

[[noreturn]] void ThrowWriteError(const std::filesystem::path& AFile, int AErrno) {
  throw Exception("Não foi possível gravar \"" + AFile.string() +
                  "\": " + std::system_category().message(AErrno));
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& AFile, std::string_view ABytes) {
  std::filesystem::path temporary = AFile;
  temporary += ".tmp-" + std::to_string(::getpid());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) ThrowWriteError(AFile, errno);
  auto fail = [&](int AErrno) {
    ::close(fd);
    ::unlink(temporary.c_str());
    ThrowWriteError(AFile, AErrno);
  };
  struct stat existing {};
  if (::stat(AFile.c_str(), &existing) == 0 && ::fchmod(fd, existing.st_mode & 07777) != 0)
    fail(errno);
  std::size_t written = 0;
  while (written < ABytes.size()) {
    const ssize_t n = ::write(fd, ABytes.data() + written, ABytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    ThrowWriteError(AFile, error);
  }
  if (::rename(temporary.c_str(), AFile.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    ThrowWriteError(AFile, error);
  }
}
