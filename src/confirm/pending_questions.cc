#include "confirm/pending_questions.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>

#include "base/os_error.h"
#include "base/unique_fd.h"
#include "base/unix_socket.h"
#include "confirm/conversation.h"
#include "confirm/nonce.h"
#include "presence/confirmation_contract.h"

namespace tarnwel {
namespace {

// A question lives at most as long as the agent's wait for it (120 s); a file
// left without its question for this long belongs to an asker that was killed
// while it posted.
constexpr std::chrono::seconds ORPHAN_AGE{600};

bool process_alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

std::optional<std::string> read_small_file(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_uid != ::getuid()) {
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  while (text.size() <= MAX_QUESTION_FILE_BYTES) {
    const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

struct Entry {
  std::string nonce;
  std::string suffix;
  std::time_t changed;
};

std::vector<Entry> entries_of(const std::string& dir) {
  std::vector<Entry> entries;
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.c_str()), &::closedir);
  if (!stream) return entries;
  while (const dirent* item = ::readdir(stream.get())) {
    const std::string_view name = item->d_name;
    if (name.size() <= NONCE_HEX_DIGITS || !is_nonce(name.substr(0, NONCE_HEX_DIGITS))) continue;
    Entry entry{std::string(name.substr(0, NONCE_HEX_DIGITS)),
                std::string(name.substr(NONCE_HEX_DIGITS)), 0};
    struct stat st {};
    if (::lstat(question_file(dir, entry.nonce, entry.suffix).c_str(), &st) != 0) continue;
    entry.changed = st.st_mtime;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.changed < b.changed; });
  return entries;
}

}  // namespace

std::vector<Question> pending_questions(const std::string& dir) {
  const std::vector<Entry> entries = entries_of(dir);
  const auto has = [&](const std::string& nonce, std::string_view suffix) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const Entry& e) { return e.nonce == nonce && e.suffix == suffix; });
  };
  std::vector<Question> questions;
  const std::time_t now = std::time(nullptr);
  for (const Entry& entry : entries) {
    if (entry.suffix != QUESTION_SUFFIX) {
      if (!has(entry.nonce, QUESTION_SUFFIX) && now - entry.changed > ORPHAN_AGE.count()) {
        ::unlink(question_file(dir, entry.nonce, entry.suffix).c_str());
      }
      continue;
    }
    const std::optional<std::string> text =
        read_small_file(question_file(dir, entry.nonce, entry.suffix));
    if (!text) continue;  // answered and removed meanwhile, or not a question of ours
    std::optional<Question> question = parse_question(entry.nonce, *text);
    if (question && process_alive(question->asker) && has(entry.nonce, ANSWER_SUFFIX)) {
      questions.push_back(std::move(*question));
    } else if (!question || !process_alive(question->asker)) {
      remove_question_files(dir, entry.nonce);
    }
  }
  return questions;
}

Result<UniqueFd, std::string> open_question(const std::string& dir, std::string_view nonce) {
  const std::string gone(QUESTION_GONE);
  if (!is_nonce(nonce)) return gone;
  const std::string path = question_file(dir, nonce, ANSWER_SUFFIX);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return gone;
    return "stat " + display_path(path) + ": " + os_error_text(errno);
  }
  const std::string foreign = display_path(path) + " is not a question's answer";
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return foreign;
  // Nobody listens once the asker has gone.
  Result<UniqueFd, SysError> link = connect_unix(path);
  if (!link.ok()) {
    const int err = link.error().number;
    if (err == ENOENT || err == ECONNREFUSED) return gone;
    return "connect to " + display_path(path) + ": " + link.error().text();
  }
  const Result<PeerCredentials, SysError> peer = peer_credentials(link.value().get());
  if (!peer.ok() || peer.value().uid != ::getuid()) return foreign;
  return std::move(link).value();
}

Result<Ok, std::string> answer_question(const std::string& dir, std::string_view nonce, bool yes) {
  Result<UniqueFd, std::string> link = open_question(dir, nonce);
  if (!link.ok()) return std::move(link).error();
  const std::optional<AskerMessage> message = read_asker_message(link.value().get(), -1);
  if (!message) return std::string(QUESTION_GONE);
  if (message->kind == AskKind::YesNo) {
    if (!send_answer(link.value().get(), yes ? "y" : "n")) return std::string(QUESTION_GONE);
  } else if (!yes) {
    if (!send_decline(link.value().get())) return std::string(QUESTION_GONE);
  } else {
    return std::string("that question asks for more than a yes: answer it at a terminal");
  }
  return Ok{};
}

}  // namespace tarnwel
