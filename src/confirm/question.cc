#include "confirm/question.h"

#include <unistd.h>

#include <limits>

#include "base/decimal.h"
#include "base/utf8.h"
#include "presence/confirmation_contract.h"

namespace tarnwel {
namespace {

std::optional<pid_t> parse_pid(std::string_view text) {
  const std::optional<std::uint64_t> pid = parse_decimal(text, std::numeric_limits<pid_t>::max());
  if (!pid) return std::nullopt;
  return static_cast<pid_t>(*pid);
}

// The value of the line "`key`=..." at the start of `text`, which is advanced
// past it.
std::optional<std::string_view> take_line(std::string_view& text, std::string_view key) {
  const std::size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return std::nullopt;
  const std::string_view line = text.substr(0, newline);
  if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') {
    return std::nullopt;
  }
  text.remove_prefix(newline + 1);
  return line.substr(key.size() + 1);
}

}  // namespace

std::string question_file(const std::string& dir, std::string_view nonce, std::string_view suffix) {
  std::string path = dir;
  path.append("/").append(nonce).append(suffix);
  return path;
}

void remove_question_files(const std::string& dir, std::string_view nonce) noexcept {
  ::unlink(question_file(dir, nonce, QUESTION_SUFFIX).c_str());
  ::unlink(question_file(dir, nonce, ANSWER_SUFFIX).c_str());
}

std::string question_text(const Question& question) {
  return "asker=" + std::to_string(question.asker) +
         "\nrequester=" + std::to_string(question.requester) +
         "\nprogram=" + single_line_lossy(question.program) +
         "\nprofile=" + single_line_lossy(question.profile) + "\n\n" + question.reason;
}

std::optional<Question> parse_question(std::string nonce, std::string_view text) {
  Question question;
  question.nonce = std::move(nonce);
  const std::optional<std::string_view> asker = take_line(text, "asker");
  const std::optional<std::string_view> requester = take_line(text, "requester");
  const std::optional<std::string_view> program = take_line(text, "program");
  const std::optional<std::string_view> profile = take_line(text, "profile");
  if (!asker || !requester || !program || !profile || !text.starts_with('\n')) {
    return std::nullopt;
  }
  const std::optional<pid_t> asker_pid = parse_pid(*asker);
  const std::optional<pid_t> requester_pid = parse_pid(*requester);
  if (!asker_pid || *asker_pid == 0 || !requester_pid) return std::nullopt;
  question.asker = *asker_pid;
  question.requester = *requester_pid;
  question.program = *program;
  question.profile = *profile;
  question.reason = text.substr(1);
  return question;
}

std::string describe_question(const Question& question) {
  // Line by line, with control characters replaced: the text goes to a
  // terminal, where an escape sequence would act instead of showing.
  std::string text;
  std::string_view rest = question.reason;
  while (true) {
    const std::size_t newline = rest.find('\n');
    text += single_line_lossy(rest.substr(0, newline));
    if (newline == std::string_view::npos) break;
    text += '\n';
    rest.remove_prefix(newline + 1);
  }
  text += "\nProfile: " + single_line_lossy(question.profile);
  return text + "\n" + requester_line(question.requester, question.program);
}

}  // namespace tarnwel
