#include "cli/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "cli/terminal.h"
#include "file/output.h"

namespace tarnwick::cli {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

bool g_stdout_was_closed = false;

void on_cleanup_signal(int sig) {
  int saved = errno;
  file::remove_pending_temporaries();
  clear_progress_line();
  errno = saved;
  // Installed one-shot: the signal, raised again, ends the process with its
  // own status once this handler returns.
  raise(sig);
}

}  // namespace

bool ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: this very one.
    if (::open("/dev/null", O_RDWR) != fd) return false;
    if (fd == STDOUT_FILENO) g_stdout_was_closed = true;
  }
  return true;
}

bool standard_output_was_closed() { return g_stdout_was_closed; }

void install_signal_handlers() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  for (int sig : kCleanupSignals) sigaddset(&sa.sa_mask, sig);
  sa.sa_handler = on_cleanup_signal;
  sa.sa_flags = SA_RESETHAND;
  for (int sig : kCleanupSignals) sigaction(sig, &sa, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace tarnwick::cli
