#include "cli/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace larkvale::cli {
namespace {

volatile std::sig_atomic_t received = 0;

void Handle(int signal) { received = signal; }

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = Handle;
  sigemptyset(&action.sa_mask);
  // Blocking calls resume after the handler: a transfer checks the flag at
  // its next block and between the slices of its waits for the network; the
  // second signal takes the default action.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return received != 0; }

void EndAsInterrupted() {
  const int signal = received ? int(received) : SIGINT;
  std::signal(signal, SIG_DFL);
  ::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace larkvale::cli
