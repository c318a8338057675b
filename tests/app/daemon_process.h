#pragma once

// The built assinador-nfsed run as a child process: its standard output read line by line
// through a pipe, its standard error kept in a file, signals sent to it, its end awaited.
// Every wait is bounded; a daemon still running when the object goes is killed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sys/unique_fd.h"
#include "tests/support/scratch_directory.h"

extern char** environ;

class TDaemonProcess {
 public:
  static constexpr auto kWait = std::chrono::seconds(20);  // never reached when healthy

  // AEnvironment: "NAME=value" entries that replace the test's own (an empty value removes
  // it); AWrapper: a program (looked up in PATH) that runs the daemon, with its arguments.
  TDaemonProcess(const std::vector<std::string>& AArguments, std::filesystem::path AStderrFile,
                 const std::vector<std::string>& AEnvironment = {},
                 const std::vector<std::string>& AWrapper = {})
      : FStderrFile(std::move(AStderrFile)) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    FOut.reset(out[0]);
    const UniqueFd writeEnd(out[1]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, FStderrFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argv = AWrapper;
    argv.push_back(ASSINADOR_BINARY_DIR "/assinador-nfsed");
    argv.insert(argv.end(), AArguments.begin(), AArguments.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::string locale = "LC_ALL=C.UTF-8";
    std::vector<std::string> given = AEnvironment;
    const auto replaced = [&](std::string_view AEntry) {
      for (const std::string& g : given)
        if (AEntry.starts_with(g.substr(0, g.find('=') + 1))) return true;
      return false;
    };
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string_view(*e).substr(0, 3) != "LC_" &&
          std::string_view(*e).substr(0, 5) != "LANG=" && !replaced(*e))
        env.push_back(*e);
    for (std::string& g : given)
      if (!g.ends_with('=')) env.push_back(g.data());
    env.push_back(locale.data());
    env.push_back(nullptr);
    const int error = ::posix_spawnp(&FPid, args[0], &actions, nullptr, args.data(), env.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~TDaemonProcess() {
    if (!FStatus) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  TDaemonProcess(const TDaemonProcess&) = delete;
  TDaemonProcess& operator=(const TDaemonProcess&) = delete;

  // The next line of its standard output, without the line break; nullopt at its end or after
  // the bound.
  std::optional<std::string> ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
      const auto newline = FBuffered.find('\n');
      if (newline != std::string::npos) {
        std::string line = FBuffered.substr(0, newline);
        FBuffered.erase(0, newline + 1);
        return line;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  void Signal(int ASignal) { ::kill(FPid, ASignal); }
  pid_t Pid() const { return FPid; }

  // The exit status (-1 for a death by signal); nullopt when it has not ended within the bound.
  // Its standard output closes when it ends: that is what is waited for.
  std::optional<int> Wait() {
    if (FStatus) return FStatus;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (Fill(deadline)) {
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    int raw = 0;
    if (::waitpid(FPid, &raw, 0) != FPid) return std::nullopt;
    FStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return FStatus;
  }

  // Everything it printed on standard output and not yet read as a line (after Wait: the rest).
  const std::string& UnreadOutput() const { return FBuffered; }
  std::string Errors() const { return TScratchDirectory::ReadBytes(FStderrFile); }

 private:
  // Reads what arrives before the deadline; false at the end of the output or past the deadline.
  bool Fill(std::chrono::steady_clock::time_point ADeadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        ADeadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{FOut.get(), POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&fd, 1, static_cast<int>(left.count()))) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(FOut.get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    FBuffered.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t FPid = -1;
  UniqueFd FOut;
  std::filesystem::path FStderrFile;
  std::string FBuffered;
  std::optional<int> FStatus;
};
