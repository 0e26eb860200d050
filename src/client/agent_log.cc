#include "client/agent_log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string_view>

#include "base/decimal.h"
#include "base/write_all.h"
#include "secret_cache/locked_secret.h"

namespace tarnwel {
namespace {

constexpr std::string_view START_MARK = "--- tarnwel-agent started, pid ";
constexpr std::string_view AGENT_PREFIX = "tarnwel-agent: ";
// The most of the log's end that is searched for an agent's lines: more than
// a launch leaves, and bounded however long the agent has run.
constexpr off_t MAX_READ_BYTES = 1 << 20;

// mkdir, with mode 0700, of each missing directory on the way to `dir`.
void make_private_dirs(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1)) {
    (void)::mkdir(dir.substr(0, slash).c_str(), 0700);
  }
  (void)::mkdir(dir.c_str(), 0700);
}

// The log's directory, reached without following a link at its last step and
// only when it is the user's and no one else may write in it, so that no one
// else can put a file or a link in the log's place.
UniqueFd open_log_dir(const AgentLogPlace& place) {
  UniqueFd dir(::open(place.dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::getuid()) return UniqueFd();
  if ((st.st_mode & 077) != 0 && place.own_dir) (void)::fchmod(dir.get(), 0700);
  if ((st.st_mode & 022) != 0 && !place.own_dir) return UniqueFd();
  return dir;
}

// `fd` if it is a regular file of the user's with no other name (a hard link
// would let a writable copy live elsewhere); else an invalid descriptor.
UniqueFd checked_file(UniqueFd fd, struct stat& st) {
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid() || st.st_nlink != 1) return UniqueFd();
  return fd;
}

// The process id in a start line, or nothing for any other line.
std::optional<pid_t> started_pid(std::string_view line) {
  if (!line.starts_with(START_MARK)) return std::nullopt;
  line.remove_prefix(START_MARK.size());
  const std::optional<std::uint64_t> pid = take_decimal(line, std::numeric_limits<pid_t>::max());
  if (!pid) return std::nullopt;
  return static_cast<pid_t>(*pid);
}

}  // namespace

std::string log_path(const AgentLogPlace& place) { return place.dir + "/" + place.name; }

UniqueFd open_agent_log(const AgentLogPlace& place) {
  if (place.own_dir) {
    make_private_dirs(place.dir);
  } else {
    (void)::mkdir(place.dir.c_str(), 0700);
  }
  const UniqueFd dir = open_log_dir(place);
  if (!dir.valid()) return UniqueFd();
  // O_NONBLOCK: a FIFO put in the log's place must not hold the launch up;
  // it is refused below as no regular file.
  struct stat st {};
  UniqueFd log = checked_file(
      UniqueFd(::openat(
          dir.get(), place.name.c_str(),
          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600)),
      st);
  if (!log.valid()) return log;
  if ((st.st_mode & 077) != 0) (void)::fchmod(log.get(), 0600);
  // A log that cannot be emptied would grow without bound: then there is none.
  if (st.st_size > static_cast<off_t>(MAX_AGENT_LOG_BYTES) && ::ftruncate(log.get(), 0) != 0) {
    return UniqueFd();
  }
  // Above the standard descriptors, which the spawn sets up from this one.
  if (log.get() <= STDERR_FILENO) log = UniqueFd(::fcntl(log.get(), F_DUPFD_CLOEXEC, 3));
  return log;
}

void mark_agent_start(int log, pid_t pid) {
  char when[32] = "an unknown time";
  const time_t now = ::time(nullptr);
  struct tm utc {};
  if (::gmtime_r(&now, &utc) != nullptr) ::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  (void)write_all(log, std::string(START_MARK) + std::to_string(pid) + ", at " + when + "\n");
}

namespace {

// The log's text from `from` to its end, and no more than its last
// MAX_READ_BYTES; empty when it cannot be read safely.
std::string log_text(const AgentLogPlace& place, off_t from) {
  const UniqueFd dir = open_log_dir(place);
  if (!dir.valid()) return {};
  struct stat st {};
  const UniqueFd log =
      checked_file(UniqueFd(::openat(dir.get(), place.name.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
                   st);
  if (!log.valid() || st.st_size <= from) return {};
  from = std::max(from, st.st_size - MAX_READ_BYTES);
  std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
  const ssize_t n = ::pread(log.get(), text.data(), text.size(), from);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

// Calls `each` with every line of `text`.
template <class Each>
void for_each_line(std::string_view text, Each each) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    each(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

}  // namespace

std::vector<std::string> agent_lines(const AgentLogPlace& place, pid_t pid) {
  // The part read holds the start line of the agent that runs: a launch
  // empties a log past MAX_AGENT_LOG_BYTES, and an agent with a log for its
  // standard error tells each kind of failure once.
  bool ours = false;
  std::vector<std::string> lines;
  for_each_line(log_text(place, 0), [&](std::string_view line) {
    if (const std::optional<pid_t> started = started_pid(line)) {
      ours = *started == pid;
      lines.clear();  // a later start of the same pid begins afresh
    } else if (ours && line.starts_with(AGENT_PREFIX)) {
      lines.emplace_back(line);
    }
  });
  return lines;
}

std::vector<std::string> agent_lines_after(const AgentLogPlace& place, off_t offset) {
  std::vector<std::string> lines;
  for_each_line(log_text(place, offset), [&](std::string_view line) {
    if (line.starts_with(AGENT_PREFIX)) lines.emplace_back(line);
  });
  return lines;
}

bool logged_memory_lock_failure(const AgentLogPlace& place, pid_t pid) {
  const std::vector<std::string> lines = agent_lines(place, pid);
  return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return std::string_view(line).substr(AGENT_PREFIX.size()).starts_with(MEMORY_LOCK_WARNING);
  });
}

}  // namespace tarnwel
