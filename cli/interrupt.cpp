#include "cli/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace larkvale::cli {
namespace {

volatile std::sig_atomic_t received = 0;

// The scratch folder as the handler sees it: a fixed buffer, set before it
// is published by `haveScratch`.
char scratchPath[PATH_MAX];
volatile std::sig_atomic_t haveScratch = 0;

// The kernel's directory entry, as getdents64 returns it.
struct DirEntry64 {
  unsigned long long ino;
  long long off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// Removes the scratch folder and the files in it. Raw system calls only, so
// that a signal handler may run it (the folder holds plain files only).
void RemoveScratchNow() {
  if (!haveScratch) return;
  const int dir = ::open(scratchPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    alignas(8) char entries[4096];
    // Each round reads the folder from its start again, until nothing is left
    // to delete; a few rounds always suffice for the handful of files here.
    for (int round = 0; round < 64; ++round) {
      ::lseek(dir, 0, SEEK_SET);
      bool deleted = false;
      for (;;) {
        const long n = ::syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
          const auto* entry = reinterpret_cast<const DirEntry64*>(entries + at);
          at += entry->reclen;
          if (std::strcmp(entry->name, ".") == 0 || std::strcmp(entry->name, "..") == 0) continue;
          if (::unlinkat(dir, entry->name, 0) == 0) deleted = true;
        }
      }
      if (!deleted) break;
    }
    ::close(dir);
  }
  ::rmdir(scratchPath);
  haveScratch = 0;
}

void Handle(int signal) {
  if (received != 0) {
    // The second one: end now, as the default action would, but tidily.
    RemoveScratchNow();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  received = signal;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = Handle;
  sigemptyset(&action.sa_mask);
  // Blocking calls resume after the handler: a transfer checks the flag at
  // its next block and between the slices of its waits for the network.
  // Either signal blocks the other while the handler runs.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return received != 0; }

void EndAsInterrupted() {
  RemoveScratchNow();
  const int signal = received ? int(received) : SIGINT;
  std::signal(signal, SIG_DFL);
  ::raise(signal);
  std::_Exit(128 + signal);
}

void RemoveOnInterrupt(const QString& folder) {
  haveScratch = 0;
  const QByteArray path = folder.toLocal8Bit();
  if (path.isEmpty() || std::size_t(path.size()) >= sizeof scratchPath) return;
  std::memcpy(scratchPath, path.constData(), std::size_t(path.size()) + 1);
  haveScratch = 1;
}

void ForgetScratchFolder() { haveScratch = 0; }

}  // namespace larkvale::cli
