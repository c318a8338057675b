#pragma once

// Owner of one POSIX file descriptor (socket, eventfd); closes it on destruction.

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int AFd) noexcept : FFd(AFd) {}
  UniqueFd(UniqueFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
  UniqueFd& operator=(UniqueFd&& AOther) noexcept {
    if (this != &AOther) reset(std::exchange(AOther.FFd, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return FFd; }
  explicit operator bool() const noexcept { return FFd >= 0; }
  int release() noexcept { return std::exchange(FFd, -1); }
  void reset(int AFd = -1) noexcept {
    if (FFd >= 0) ::close(FFd);
    FFd = AFd;
  }

 private:
  int FFd = -1;
};
