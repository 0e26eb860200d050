#include "base/echo_off.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>

namespace tarnwel {
namespace {

// XXX: SIGTSTP is left alone; a shell that resumes the job restores its own
// terminal mode, but echo stays off until tarnwelctl's guard ends.
constexpr std::array<int, 4> RESTORING_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// State for the signal handler, which may only touch what is async-signal-safe.
int saved_fd = -1;
termios saved_settings;
std::array<struct sigaction, RESTORING_SIGNALS.size()> previous_actions;

void restore_and_reraise(int sig) {
  ::tcsetattr(saved_fd, TCSANOW, &saved_settings);
  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    if (RESTORING_SIGNALS[i] == sig) ::sigaction(sig, &previous_actions[i], nullptr);
  }
  // Blocked until this handler returns, then delivered with the previous
  // disposition: by default it ends the process as if no handler had run.
  ::raise(sig);
}

}  // namespace

EchoOff::EchoOff(int fd) {
  termios settings;
  if (::isatty(fd) == 0 || ::tcgetattr(fd, &settings) != 0) return;
  if ((settings.c_lflag & ECHO) == 0) return;  // nothing to turn off, nothing to restore
  saved_fd = fd;
  saved_settings = settings;

  struct sigaction action {};
  action.sa_handler = restore_and_reraise;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    ::sigaction(RESTORING_SIGNALS[i], &action, &previous_actions[i]);
  }
  // ECHONL too: the user's Enter need not show either; the caller writes the
  // newline itself, on stderr, where the prompt went.
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  if (::tcsetattr(fd, TCSAFLUSH, &settings) != 0) {
    for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
      ::sigaction(RESTORING_SIGNALS[i], &previous_actions[i], nullptr);
    }
    return;
  }
  active_ = true;
}

EchoOff::~EchoOff() {
  if (!active_) return;
  ::tcsetattr(saved_fd, TCSAFLUSH, &saved_settings);
  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    ::sigaction(RESTORING_SIGNALS[i], &previous_actions[i], nullptr);
  }
}

}  // namespace tarnwel
