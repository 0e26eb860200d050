#include "confirm/conversation.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "base/utf8.h"
#include "base/wiped_input.h"
#include "base/write_all.h"

namespace tarnwel {
namespace {

constexpr std::array<std::pair<AskKind, std::string_view>, 6> KIND_WORDS = {{
    {AskKind::Secret, "secret"},
    {AskKind::Text, "text"},
    {AskKind::YesNo, "yes-no"},
    {AskKind::Show, "show"},
    {AskKind::Error, "error"},
    {AskKind::Done, "done"},
}};

constexpr std::string_view ANSWER_WORD = "answer ";
constexpr std::string_view DECLINE_LINE = "decline\n";

}  // namespace

bool send_to_answerer(int link, AskKind kind, std::string_view text) {
  std::string line;
  for (const auto& [known, word] : KIND_WORDS) {
    if (known == kind) line = word;
  }
  line += ' ';
  line += single_line_lossy(text.substr(0, MAX_CONVERSATION_LINE_BYTES / 2));
  line += '\n';
  return write_all(link, line);
}

ReplyEnd read_reply(int link, WipedBytes& answer, const WaitEnds& ends) {
  WipedBytes line;
  while (line.empty() || line.back() != '\n') {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(ends.deadline - MonotonicClock::now());
    if (left.count() <= 0) return ReplyEnd::TimedOut;
    pollfd fds[] = {{link, POLLIN, 0}, {ends.stop_fd, POLLIN, 0}, {ends.requester_fd, POLLIN, 0}};
    // At most a second per wait, as PostedQuestion waits: a stop held back
    // by a runtime is still seen.
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1'000)));
    if (ready < 0 && errno != EINTR) return ReplyEnd::Stopped;
    if (ready <= 0) continue;
    if (fds[1].revents != 0) return ReplyEnd::Stopped;
    if (fds[2].revents != 0) return ReplyEnd::RequesterGone;
    const std::size_t before = line.size();
    const Result<Ok, InputFailure> read =
        read_wiped(link, line, MAX_CONVERSATION_LINE_BYTES, ReadUntil::Newline);
    if (!read.ok() || line.size() == before) return ReplyEnd::AnswererGone;
  }
  const std::string_view text = as_view(line);
  if (text == DECLINE_LINE) return ReplyEnd::Declined;
  if (!text.starts_with(ANSWER_WORD)) return ReplyEnd::AnswererGone;
  answer.clear();
  append(answer, text.substr(ANSWER_WORD.size(), text.size() - ANSWER_WORD.size() - 1));
  return ReplyEnd::Answered;
}

std::optional<AskerMessage> read_asker_message(int link, int stop_fd) {
  std::string line;
  char c = 0;
  while (true) {
    pollfd fds[] = {{link, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, stop_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (stop_fd >= 0 && fds[1].revents != 0) return std::nullopt;
    const ssize_t n = ::read(link, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || line.size() > MAX_CONVERSATION_LINE_BYTES) return std::nullopt;
    if (c == '\n') break;
    line += c;
  }
  const std::size_t space = line.find(' ');
  const std::string_view word = std::string_view(line).substr(0, space);
  for (const auto& [kind, known] : KIND_WORDS) {
    if (word == known) {
      return AskerMessage{kind, space == std::string::npos ? "" : line.substr(space + 1)};
    }
  }
  return std::nullopt;
}

bool send_answer(int link, std::string_view text) {
  WipedBytes line;
  append(line, ANSWER_WORD);
  append(line, text);
  line.push_back('\n');
  return write_all(link, as_view(line));
}

bool send_decline(int link) { return write_all(link, DECLINE_LINE); }

}  // namespace tarnwel
