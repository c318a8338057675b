#pragma once

// A program run as a child process by a test or a benchmark: its standard output read line by
// line through a pipe, its standard error kept in a file, signals sent to it, its end awaited.
// Every wait is bounded; a child still running when the object goes is killed.

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
#include <string_view>
#include <thread>
#include <vector>

#include "platform/sys/unique_fd.h"
#include "tests/support/scratch_directory.h"

extern char** environ;

class TChildProcess {
 public:
  // What every wait is bounded by: its event (a line, the end) ends it long before when
  // healthy; a machine loaded many times over may need the minutes (a start was seen to take
  // longer than 20 s at a load average of 45).
  static constexpr auto kWait = std::chrono::seconds(120);

  // AArguments[0] is the program (looked up in PATH when it has no slash). AEnvironment:
  // "NAME=value" entries that replace the caller's own ("NAME=" removes it). Standard input is
  // /dev/null; standard error goes to AStderrFile, truncated or, with AAppendErrors, appended.
  TChildProcess(const std::vector<std::string>& AArguments, std::filesystem::path AStderrFile,
                const std::vector<std::string>& AEnvironment = {}, bool AAppendErrors = false)
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
                                       O_WRONLY | O_CREAT | (AAppendErrors ? O_APPEND : O_TRUNC),
                                       0600);
    std::vector<std::string> argv = AArguments;
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> given = AEnvironment;
    const auto replaced = [&](std::string_view AEntry) {
      for (const std::string& g : given)
        if (AEntry.starts_with(g.substr(0, g.find('=') + 1))) return true;
      return false;
    };
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (!replaced(*e)) env.push_back(*e);
    for (std::string& g : given)
      if (!g.ends_with('=')) env.push_back(g.data());
    env.push_back(nullptr);
    const int error = ::posix_spawnp(&FPid, args[0], &actions, nullptr, args.data(), env.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("posix_spawn " + AArguments[0] + " failed");
  }
  ~TChildProcess() {
    if (!FStatus) Kill();
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

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
  void Kill() {
    if (FStatus) return;
    ::kill(FPid, SIGKILL);
    int raw = 0;
    ::waitpid(FPid, &raw, 0);
    FStatus = -1;
  }

  // The exit status (-1 for a death by signal); nullopt when it has not ended within ATimeout.
  // Its standard output closes when it ends: that is what is waited for first.
  std::optional<int> Wait(std::chrono::milliseconds ATimeout = kWait) {
    if (FStatus) return FStatus;
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    while (Fill(deadline)) {
    }
    for (;;) {
      int raw = 0;
      if (::waitpid(FPid, &raw, WNOHANG) == FPid) {
        FStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return FStatus;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
