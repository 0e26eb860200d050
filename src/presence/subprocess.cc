#include "presence/subprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <optional>
#include <string>
#include <thread>

#include "base/executable_search.h"
#include "base/spawn.h"
#include "base/unique_fd.h"

namespace tarnwel {
namespace {

// How often the child is looked at where no pidfd can announce its end.
constexpr auto FALLBACK_TICK = std::chrono::milliseconds(20);

UniqueFd open_pidfd(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  // Fails on kernels before 5.3; the caller then looks at the child by ticks.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  static_cast<void>(pid);
  return UniqueFd();
#endif
}

// Both ends close on exec; a child gets the write end only as its stderr.
int make_pipe(int fds[2]) {
#if defined(__APPLE__)
  // No pipe2 here; POSIX_SPAWN_CLOEXEC_DEFAULT keeps these out of the child.
  if (::pipe(fds) != 0) return -1;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return 0;
#else
  return ::pipe2(fds, O_CLOEXEC);
#endif
}

// A wait status, or why there is none.
using WaitOutcome = Result<int, SysError>;

// The started child. Until it is reaped it is killed and reaped when this
// goes, so that no path leaves a zombie or a stray process.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), pidfd_(open_pidfd(pid)) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    static_cast<void>(reap(0));
  }

  pid_t pid() const { return pid_; }
  // Readable once the child has ended; -1 where the system has no pidfd.
  int pidfd() const { return pidfd_.get(); }

  // The wait status once the child has ended; nothing while it runs.
  // `options` is 0 to block or WNOHANG.
  std::optional<WaitOutcome> reap(int options) {
    int status = 0;
    pid_t done = -1;
    do {
      done = ::waitpid(pid_, &status, options);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return std::nullopt;
    pid_ = -1;  // reaped, or lost to someone else: never signal this pid again
    if (done < 0) return WaitOutcome(SysError{errno});
    return WaitOutcome(status);
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
};

// The read end of the child's stderr pipe, non-blocking.
class ErrorOutput {
 public:
  explicit ErrorOutput(UniqueFd fd) : fd_(std::move(fd)) {}

  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // Reads what the pipe holds now, within a bound, so that a writer that
  // never stops cannot keep the caller here. Closes at end of file.
  void drain() {
    std::array<char, 16 * 1024> buf;
    for (int reads = 0; fd_.valid() && reads < 16; ++reads) {
      const ssize_t n = ::read(fd_.get(), buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) fd_.reset();
        return;
      }
      if (n == 0) {
        fd_.reset();
        return;
      }
      const std::size_t room = MAX_ERROR_OUTPUT_BYTES - kept_.size();
      kept_.append(buf.data(), std::min(room, static_cast<std::size_t>(n)));
    }
  }

  std::string take() { return std::move(kept_); }

 private:
  UniqueFd fd_;
  std::string kept_;
};

int poll_timeout_ms(Instant now, Instant deadline, bool ticking) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  if (ticking) left = std::min<std::chrono::milliseconds>(left, FALLBACK_TICK);
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// The child's wait status once it has ended, or nothing at `deadline`. Drains
// its stderr meanwhile. Sleeps in poll: on the pipe and on the pidfd, or where
// there is no pidfd, for a short tick at a time.
// Nothing also once `hangup_fd` (-1: none) reports a hang-up, which sets
// `*hung_up`.
std::optional<WaitOutcome> wait_for_end(Child& child, ErrorOutput& output, Instant deadline,
                                        int hangup_fd = -1, bool* hung_up = nullptr) {
  for (;;) {
    if (std::optional<WaitOutcome> ended = child.reap(WNOHANG)) return ended;
    const Instant now = MonotonicClock::now();
    if (now >= deadline) return std::nullopt;
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    if (output.open()) fds[count++] = {output.fd(), POLLIN, 0};
    if (child.pidfd() >= 0) fds[count++] = {child.pidfd(), POLLIN, 0};
    // No events asked: POLLHUP is reported all the same, a half-close is not.
    const nfds_t hangup = count;
    if (hangup_fd >= 0) fds[count++] = {hangup_fd, 0, 0};
    const int ready = ::poll(fds.data(), count, poll_timeout_ms(now, deadline, child.pidfd() < 0));
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(FALLBACK_TICK);  // never spin
    if (hangup_fd >= 0 && (fds[hangup].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      *hung_up = true;
      return std::nullopt;
    }
    output.drain();
  }
}

}  // namespace

Result<SubprocessRun, SubprocessError> run_subprocess(const std::vector<std::string>& arguments,
                                                      const std::vector<std::string>& environment,
                                                      Instant deadline,
                                                      MonotonicClock::duration kill_grace,
                                                      int hangup_fd) {
  const auto start_failed = [](int errnum) {
    return SubprocessError{SubprocessError::Stage::Start, SysError{errnum}};
  };
  int pipe_fds[2];
  if (make_pipe(pipe_fds) != 0) return start_failed(errno);
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  if (::fcntl(read_end.get(), F_SETFL, O_NONBLOCK) != 0) return start_failed(errno);

  SpawnSetup setup;
  int rc =
      ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    rc =
        ::posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (rc == 0)
    rc = ::posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDERR_FILENO);
  // Our descriptors close on exec, but one another library opened without
  // O_CLOEXEC would leak into the child all the same.
  if (rc == 0) rc = close_descriptors_from(setup, STDERR_FILENO + 1);
  // The agent ignores SIGPIPE, and ignored signals survive exec: give the
  // child default dispositions and an empty mask. A process group of its
  // own, so that a time-out ends whatever it started too (a wrapper script's
  // dialog, say), not the program alone.
  if (rc == 0) rc = reset_signals(setup);
  if (rc == 0) rc = add_flags(setup, POSIX_SPAWN_SETPGROUP);
  if (rc == 0) rc = ::posix_spawnattr_setpgroup(&setup.attr, 0);
  if (rc != 0) return start_failed(rc);

  // posix_spawnp would take an empty or relative element of PATH as the
  // working directory, where anyone who can write could plant the program.
  std::string program = arguments.front();
  if (program.find('/') == std::string::npos) {
    std::optional<std::string> found = find_on_path(program);
    if (!found.has_value()) return start_failed(ENOENT);
    program = std::move(*found);
  }
  const std::vector<char*> argv = c_strings(arguments);
  const std::vector<char*> envp = c_strings(environment);
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
  if (rc != 0) return start_failed(rc);
  Child child(pid);
  // From now on only the child holds the write end, so end of file means it
  // (and whatever it started) has let go of its stderr.
  write_end.reset();
  ErrorOutput output(std::move(read_end));

  bool hung_up = false;
  std::optional<WaitOutcome> ended = wait_for_end(child, output, deadline, hangup_fd, &hung_up);
  if (!ended.has_value()) {
    // The group is named by the child's pid, which stays ours until the
    // child is reaped.
    const pid_t group = child.pid();
    ::kill(-group, SIGTERM);
    if (!wait_for_end(child, output, MonotonicClock::now() + kill_grace).has_value()) {
      ::kill(-group, SIGKILL);
      static_cast<void>(child.reap(0));
    } else {
      // The program ended in time; what it started and what ignored the
      // request to stop does not outlive the time-out either.
      ::kill(-group, SIGKILL);
    }
    return SubprocessRun{hung_up ? SubprocessRun::End::Abandoned : SubprocessRun::End::TimedOut, 0,
                         output.take()};
  }
  if (!ended->ok()) return SubprocessError{SubprocessError::Stage::Wait, ended->error()};
  const int status = ended->value();
  output.drain();  // what it wrote just before it ended
  if (WIFSIGNALED(status)) {
    return SubprocessRun{SubprocessRun::End::Signalled, WTERMSIG(status), output.take()};
  }
  return SubprocessRun{SubprocessRun::End::Exited, WEXITSTATUS(status), output.take()};
}

}  // namespace tarnwel
