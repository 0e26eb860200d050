// EchoOff: turns off echo on a terminal while a secret is typed, and puts the
// terminal's settings back on every way out: when it goes out of scope, and
// when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the process meanwhile (the
// handler restores the settings, then lets the signal do what it did before).
//
// One at a time per process: the signal handlers share one saved state.
//
//   const EchoOff echo_off(fd);  // a no-op unless fd is a terminal
//   report_raw("Secret for profile " + std::string(profile) + ": ");
//   read = read_into(fd, secret, /*one_line=*/true);
//   if (echo_off.active()) report_raw("\n");  // the unechoed Enter's newline
#pragma once

namespace tarnwel {

class EchoOff {
 public:
  explicit EchoOff(int fd);
  ~EchoOff();
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  // Whether echo was on a terminal and is now off.
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace tarnwel
