#include "confirm/terminal_question.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "base/write_all.h"

namespace tarnwel {
namespace {

constexpr std::size_t MAX_ANSWER_BYTES = 256;

std::optional<bool> meaning(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::string word;
  for (const char c : line) word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (word == "y" || word == "yes") return true;
  if (word == "n" || word == "no") return false;
  return std::nullopt;
}

// One line from `tty`, without its newline; nothing on end, failure or stop.
std::optional<std::string> read_line(int tty, int stop_fd) {
  std::string line;
  while (true) {
    pollfd fds[] = {{tty, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, stop_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (stop_fd >= 0 && fds[1].revents != 0) return std::nullopt;
    char c = 0;
    const ssize_t n = ::read(tty, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    if (line.size() < MAX_ANSWER_BYTES) line += c;
  }
}

}  // namespace

UniqueFd open_terminal() { return UniqueFd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)); }

std::optional<bool> ask_at_terminal(int tty, const Question& question, int stop_fd) {
  // What was typed before the question showed answers nothing: a "y" typed
  // ahead must not approve a request its typist never saw.
  ::tcflush(tty, TCIFLUSH);
  if (!write_all(tty, "\nConfirm: " + describe_question(question) + "\nAllow? [y/n] ")) {
    return std::nullopt;
  }
  while (true) {
    const std::optional<std::string> line = read_line(tty, stop_fd);
    if (!line) {
      (void)write_all(tty, "\n");
      return std::nullopt;
    }
    if (const std::optional<bool> yes = meaning(*line)) return yes;
    if (!write_all(tty, "Please answer y or n: ")) return std::nullopt;
  }
}

}  // namespace tarnwel
