#include "confirm/terminal_question.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "base/echo_off.h"
#include "base/wiped_bytes.h"
#include "base/wiped_input.h"
#include "base/write_all.h"
#include "confirm/conversation.h"
#include "confirm/pending_questions.h"

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

// Waits until `tty` has input: false when `stop_fd` (if any) is readable
// first, or the wait fails.
bool wait_for_input(int tty, int stop_fd) {
  while (true) {
    pollfd fds[] = {{tty, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, stop_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    return stop_fd < 0 || fds[1].revents == 0;
  }
}

// One line from `tty`, without its newline; nothing on end, failure or stop.
std::optional<std::string> read_line(int tty, int stop_fd) {
  std::string line;
  while (true) {
    if (!wait_for_input(tty, stop_fd)) return std::nullopt;
    char c = 0;
    const ssize_t n = ::read(tty, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    if (line.size() < MAX_ANSWER_BYTES) line += c;
  }
}

// `prompt`, then a secret line from `tty`, read with echo off into wiped
// memory, without its newline; nothing on end, failure or stop. Echo goes off
// before the prompt shows, so that nothing typed after it is echoed or lost.
std::optional<WipedBytes> read_secret_line(int tty, std::string_view prompt, int stop_fd) {
  const EchoOff echo_off(tty);
  if (!write_all(tty, prompt) || !wait_for_input(tty, stop_fd)) return std::nullopt;
  WipedBytes line;
  const Result<Ok, InputFailure> read =
      read_wiped(tty, line, MAX_CONVERSATION_LINE_BYTES, ReadUntil::Newline);
  if (echo_off.active()) (void)write_all(tty, "\n");  // the unechoed Enter's newline
  if (!read.ok() || line.empty() || line.back() != '\n') return std::nullopt;
  line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// One reply to `message`, sent on `link`; false when the talk is cut.
bool reply_at_terminal(int tty, int link, const AskerMessage& message, int stop_fd) {
  switch (message.kind) {
    case AskKind::YesNo: {
      if (!write_all(tty, "Allow? [y/n] ")) return false;
      while (true) {
        const std::optional<std::string> line = read_line(tty, stop_fd);
        if (!line) return false;
        if (const std::optional<bool> yes = meaning(*line)) {
          return send_answer(link, *yes ? "y" : "n");
        }
        if (!write_all(tty, "Please answer y or n: ")) return false;
      }
    }
    case AskKind::Secret: {
      const std::optional<WipedBytes> secret = read_secret_line(tty, message.text, stop_fd);
      return secret && send_answer(link, as_view(*secret));
    }
    case AskKind::Text: {
      if (!write_all(tty, message.text)) return false;
      const std::optional<std::string> line = read_line(tty, stop_fd);
      return line && send_answer(link, *line);
    }
    case AskKind::Show:
    case AskKind::Error: return write_all(tty, message.text + "\n");
    case AskKind::Done: return true;
  }
  return false;
}

}  // namespace

UniqueFd open_terminal() { return UniqueFd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)); }

TerminalAnswer answer_at_terminal(int tty, const std::string& dir, const Question& question,
                                  int stop_fd) {
  ::tcflush(tty, TCIFLUSH);
  Result<UniqueFd, std::string> link = open_question(dir, question.nonce);
  if (!link.ok()) return {TerminalAnswer::End::Failed, std::move(link).error()};
  if (!write_all(tty, "\nConfirm: " + describe_question(question) + "\n")) {
    return {TerminalAnswer::End::Cut, ""};
  }
  while (true) {
    const std::optional<AskerMessage> message = read_asker_message(link.value().get(), stop_fd);
    const bool stopped =
        stop_fd >= 0 && ::poll(std::array{pollfd{stop_fd, POLLIN, 0}}.data(), 1, 0) > 0;
    if (stopped) {
      (void)write_all(tty, "\n");
      return {TerminalAnswer::End::Cut, ""};
    }
    if (!message || message->kind == AskKind::Done) return {TerminalAnswer::End::Done, ""};
    if (!reply_at_terminal(tty, link.value().get(), *message, stop_fd)) {
      (void)write_all(tty, "\n");
      return {TerminalAnswer::End::Cut, ""};
    }
  }
}

}  // namespace tarnwel
