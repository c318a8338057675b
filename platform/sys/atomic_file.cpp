#include "platform/sys/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/sys/unique_fd.h"

namespace sys {
namespace {

[[noreturn]] void ThrowErrno(const char* AWhat, int AErrno = errno) {
  throw std::system_error(AErrno, std::system_category(), AWhat);
}

void WriteAll(int AFd, std::string_view ABytes) {
  while (!ABytes.empty()) {
    const ssize_t n = ::write(AFd, ABytes.data(), ABytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("write");
    }
    ABytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The rename is on disk only once its folder is. A folder that cannot be opened for reading, or
// a file system that cannot flush folders (EINVAL), leaves nothing more to do.
void SyncFolderOf(const std::filesystem::path& APath) {
  const std::filesystem::path parent = APath.parent_path();
  const UniqueFd folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder && ::fsync(folder.get()) != 0 && errno != EINVAL) ThrowErrno("fsync");
}

// Writes, flushes and closes the temporary file; closing reports a deferred write failure.
void FillTemporary(UniqueFd AFile, const std::filesystem::path& ATarget,
                   std::string_view AContents) {
  struct stat existing {};
  if (::stat(ATarget.c_str(), &existing) == 0 &&
      ::fchmod(AFile.get(), existing.st_mode & 07777) != 0)
    ThrowErrno("fchmod");
  WriteAll(AFile.get(), AContents);
  if (::fsync(AFile.get()) != 0) ThrowErrno("fsync");
  if (::close(AFile.release()) != 0) ThrowErrno("close");
}

}  // namespace

std::optional<std::string> ReadFileIfExists(const std::filesystem::path& APath) {
  const UniqueFd file(::open(APath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    if (errno == ENOENT) return std::nullopt;
    ThrowErrno("open");
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) ThrowErrno("fstat");
  std::string bytes;
  if (S_ISREG(info.st_mode)) bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("read");
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void WriteFileAtomically(const std::filesystem::path& APath, std::string_view AContents) {
  // Unique per thread: two replacements of one path never write into the same temporary file.
  std::filesystem::path temporary = APath;
  temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(::gettid());
  UniqueFd file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!file) ThrowErrno("open");
  try {
    FillTemporary(std::move(file), APath, AContents);
    if (::rename(temporary.c_str(), APath.c_str()) != 0) ThrowErrno("rename");
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  SyncFolderOf(APath);
}

}  // namespace sys
