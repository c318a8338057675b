#pragma once

// Limits the size of files this process may write while the object lives, so that writing a
// file fails part-way (EFBIG) as on a full disk. Files already larger stay readable.

#include <signal.h>
#include <sys/resource.h>

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t ABytes) {
    FOldHandler = ::signal(SIGXFSZ, SIG_IGN);  // write then fails with EFBIG
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    rlimit limit = FOld;
    limit.rlim_cur = ABytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    ::signal(SIGXFSZ, FOldHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit FOld{};
  sighandler_t FOldHandler;
};
