#include "run/Console.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int sig) {
  if (g_signal != 0) _exit(128 + sig);  // second signal: no more waiting
  g_signal = sig;
}

}  // namespace

void secure_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void install_interrupt_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a pause's read returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int interrupt_status() { return g_signal != 0 ? 128 + g_signal : 0; }

void check_interrupt() {
  if (g_signal != 0) throw Interrupted{interrupt_status()};
}

void pause(Outputs& out, std::string_view message) {
  out.progress.clear_line();  // the message starts on a clean line
  out.console.write(layouts::kMessage, {message});
  out.flush_all();
  if (!out.pause_reads) {
    check_interrupt();
    return;
  }
  char buf[256];
  while (std::fgets(buf, sizeof buf, stdin) != nullptr) {
    bool complete = false;
    for (const char* p = buf; *p; ++p) complete = complete || *p == '\n';
    if (complete) break;
  }
  check_interrupt();
}

}  // namespace quarno
