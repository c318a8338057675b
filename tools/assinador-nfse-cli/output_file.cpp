#include "tools/assinador-nfse-cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/exception.h"
#include "platform/sys/atomic_file.h"
#include "platform/sys/system_error_text.h"
#include "platform/sys/unique_fd.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const fs::path& AFile, int AErrno) {
  throw Exception(sys::ErrorMessage("Não foi possível gravar \"" + AFile.string() + "\"", AErrno));
}

// The path a chain of symbolic links ends in (which need not exist yet).
fs::path FollowLinks(fs::path AFile) {
  for (int hops = 0;; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(AFile, error))) return AFile;
    if (hops == kMaxSymbolicLinks) Fail(AFile, ELOOP);
    const fs::path target = fs::read_symlink(AFile, error);
    if (error) Fail(AFile, error.value());
    AFile = target.is_absolute() ? target : AFile.parent_path() / target;
  }
}

void WriteDirectly(const fs::path& AFile, std::string_view ABytes) {
  const UniqueFd file(::open(AFile.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) Fail(AFile, errno);
  while (!ABytes.empty()) {
    const ssize_t n = ::write(file.get(), ABytes.data(), ABytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(AFile, errno);
    }
    ABytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void WriteOutputFile(const fs::path& AFile, std::string_view ABytes) {
  const fs::path target = FollowLinks(AFile);
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    WriteDirectly(target, ABytes);
    return;
  }
  try {
    sys::WriteFileAtomically(target, ABytes);
  } catch (const std::system_error& e) {
    Fail(target, e.code().value());
  }
}
