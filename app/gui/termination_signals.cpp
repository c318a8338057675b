#include "app/gui/termination_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "platform/exception.h"

namespace {

sigset_t TerminationSet() {
  sigset_t set;
  ::sigemptyset(&set);
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaddset(&set, s);
  return set;
}

}  // namespace

void TTerminationSignals::Block() {
  const sigset_t set = TerminationSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TTerminationSignals::TTerminationSignals() {
  const sigset_t set = TerminationSet();
  FSignals.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!FSignals) throw Exception(std::string("signalfd: ") + std::strerror(errno));
  FNotifier = std::make_unique<QSocketNotifier>(FSignals.get(), QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, &TTerminationSignals::Take);
}

TTerminationSignals::~TTerminationSignals() = default;

void TTerminationSignals::Take() {
  signalfd_siginfo info;
  while (::read(FSignals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    emit Received(static_cast<int>(info.ssi_signo));
}
