#include "server/agent.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>

#include "base/detached_thread.h"
#include "base/diagnostics.h"
#include "base/os_error.h"
#include "base/unix_socket.h"
#include "paths/runtime_dir.h"
#include "server/activated_socket.h"
#include "server/connection.h"
#include "server/connection_threads.h"
#include "server/identity.h"
#include "server/peer_admission.h"
#include "server/process_hardening.h"
#include "server/socket_ownership.h"
#include "server/socket_takeover.h"
#include "server/stop_on_termination.h"

namespace tarnwel {
namespace {

// A write to a client that has gone away must fail with EPIPE instead of
// killing the agent, and a closed 0-2 must not be handed to the socket.
void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  // SIGCHLD stays blocked in every thread (they all inherit this mask). The
  // presence program's exit raises it; a fast program can exit while the
  // spawning thread still blocks all signals, and the kernel then wakes some
  // other thread for it. A socket read with a receive time-out, as every
  // connection thread does, fails with EINTR on such a wake-up even though
  // nothing handles the signal, and that client would get "read failed:
  // Interrupted system call". Children are reaped by waiting on them, which
  // needs no signal.
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  ::pthread_sigmask(SIG_BLOCK, &child, nullptr);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) ::close(opened);  // lower fds were open after all
  }
}

// The longest time between two sweeps of the cache. A secret stored since
// the last sweep lives at least this long (ttls are whole seconds), so the
// next sweep finds it live still and learns when it expires.
constexpr std::chrono::seconds LONGEST_UNSWEPT{1};

// When to sweep the cache next, given the time `left` to its next expiry
// that the sweep just reported. Counted on the clock that goes on while the
// system sleeps: a cap that ran out during a sleep is swept at the first turn
// after the wake, and a ttl, which counts waking time only, can only be swept
// early, which costs one pass that finds nothing.
SleepCountingInstant next_sweep(std::chrono::nanoseconds left, const Clock& clock) {
  return clock.now_counting_sleep() + std::min<std::chrono::nanoseconds>(left, LONGEST_UNSWEPT);
}

// How long a loop that waits for readiness may wait before it has something
// to do with no client: the next sweep, or the end of the idle limit.
std::chrono::nanoseconds time_to_next_duty(SleepCountingInstant sweep_due, Instant last_activity,
                                           const Clock& clock) {
  // Whole seconds: the limit is passed one second after IDLE_LIMIT.
  return std::min<std::chrono::nanoseconds>(
      last_activity + IDLE_LIMIT + std::chrono::seconds(1) - clock.now(),
      sweep_due - clock.now_counting_sleep());
}

using StreamHandler = ConnectionThreads::StreamHandler;

void start_connection_thread(UniqueFd stream, std::shared_ptr<const StreamHandler> serve_stream) {
  // Without a thread the stream is closed already, having gone with the
  // thread's state; the other clients keep being served.
  (void)start_detached(
      [stream = std::move(stream), serve_stream = std::move(serve_stream)]() mutable {
        (*serve_stream)(std::move(stream), {});
      });
}

}  // namespace

void serve(const UniqueFd& listener, const std::string& path, std::shared_ptr<SecretCache> cache,
           std::shared_ptr<ShutdownFlag> shutdown, const Clock& clock, bool name_requesters,
           AcceptWait idle, ScreenLockWatch* screen_lock) {
  Instant last_activity = clock.now();
  // Two agents that took over one stale socket at once both bound it, the
  // later unlinking the earlier's fresh file; the earlier can no longer be
  // reached and must not sit on secrets for days. A socket the service
  // manager made (no path) is nobody else's to take.
  const BoundSocket bound = path.empty() ? BoundSocket{} : bound_socket(path);
  const AllowedPeers allowed;
  bool path_is_ours = !bound.taken_over;
  // Each connection is admitted on the thread that serves it: the loop only
  // accepts and starts threads.
  const auto serve_stream = std::make_shared<const StreamHandler>(
      [cache, shutdown, allowed, name_requesters](UniqueFd stream,
                                                  const std::function<void()>& replied) {
        std::optional<Requester> requester =
            admitted_requester(stream.get(), allowed, name_requesters);
        // Not admitted: closed unread and unanswered.
        if (requester)
          handle_connection(std::move(stream), cache, shutdown, std::move(requester), replied);
      });
  // With wake-on-connect, threads that have answered a connection stay for
  // the next. Without them (no pipe to be had) each connection gets a thread
  // of its own, as by default.
  std::shared_ptr<ConnectionThreads> threads;
  if (idle.polls()) {
    Result<std::shared_ptr<ConnectionThreads>, SysError> opened =
        ConnectionThreads::open(listener.get(), clock, idle.waker(), *serve_stream);
    if (opened.ok()) threads = std::move(opened).value();
  }
  // The sweep takes the cache's lock, so the loop sweeps when an expiry may
  // be due, not at every turn: a burst of clients costs no pass.
  SleepCountingInstant sweep_due = SleepCountingInstant::min();
  while (path_is_ours && !shutdown->is_set()) {
    // Wipes within one idle sleep of a wake, or of a secret's expiry, with
    // no client at all.
    cache->forget_if_woke();
    if (clock.now_counting_sleep() >= sweep_due) sweep_due = next_sweep(cache->sweep(), clock);
    if (threads) last_activity = std::max(last_activity, threads->last_accept());
    // Nothing comes back when the screen unlocks: the user unlocks anew.
    if (screen_lock != nullptr && screen_lock->locked()) cache->lock_all();
    // Whole seconds only: the limit is passed at 691,201 s, not 691,200.5 s.
    if (std::chrono::duration_cast<std::chrono::seconds>(clock.now() - last_activity) > IDLE_LIMIT) {
      break;
    }
    UniqueFd stream = idle.accept();
    if (!stream.valid()) {
      // Looked at only when idle, so a burst costs no extra system call; a
      // taken-over socket gets no new clients, so its loop soon idles.
      if (idle.idled() && bound.identity.has_value() && !names_socket(path, *bound.identity)) {
        path_is_ours = false;
        break;
      }
      // The wait is what lets the loop see the flag and the idle limit.
      idle.wait(time_to_next_duty(sweep_due, last_activity, clock),
                !threads || threads->main_watches(),
                screen_lock != nullptr ? screen_lock->fd() : -1);
      continue;
    }
    last_activity = clock.now();
    if (threads) {
      threads->start(std::move(stream));
      continue;
    }
    start_connection_thread(std::move(stream), serve_stream);
  }
  // No thread accepts any more: what is wiped below stays wiped.
  if (threads) threads->stop();
  // Wipe before the socket goes, so that no client can still read a secret
  // from an agent that is already unreachable by name.
  cache->lock_all();
  // A path that another agent has taken over is that agent's to remove.
  if (path_is_ours && !path.empty()) ::unlink(path.c_str());
}

Result<Ok, StartupFailure> run(std::unique_ptr<PresenceBackend> backend,
                               std::shared_ptr<const Clock> clock, const AgentSettings& settings) {
  const Result<std::string, DirRefusal> found = socket_path();
  // Nothing exists yet that needs cleaning up, and no other place is tried:
  // a refused directory is final.
  if (!found.ok()) return StartupFailure{found.error().reason, 1};
  const std::string& path = found.value();
  Result<std::optional<UniqueFd>, std::string> handed = take_activated_socket(path);
  if (!handed.ok()) return StartupFailure{std::move(handed).error(), 1};
  const bool activated = handed.value().has_value();
  Result<std::optional<UniqueFd>, std::string> listener =
      activated ? std::move(handed) : bind_own_socket(path);
  if (!listener.ok()) return StartupFailure{std::move(listener).error(), 1};
  if (!listener.value()) return Ok{};  // another agent serves this user
  const UniqueFd& listening = *listener.value();
  if (auto nonblocking = set_nonblocking(listening.get(), true); !nonblocking.ok()) {
    // This is deliberately fatal: a blocking listener would never see the
    // shutdown flag or the idle limit.
    return StartupFailure{"set_nonblocking failed: " + nonblocking.error().text(), 101};
  }
  auto cache = std::make_shared<SecretCache>(
      DEFAULT_TTL, std::move(backend), clock,
      CacheLimits{.forget_on_sleep = settings.lock_on_sleep, .max_lifetime = settings.max_ttl});
  AcceptWait idle(listening.get());
  if (settings.wake_on_connect) {
    Result<AcceptWait, SysError> polling = AcceptWait::on_readiness(listening.get());
    // Deliberately fatal, as above: the agent would not do what its user asked.
    if (!polling.ok()) {
      return StartupFailure{"could not create the wake pipe: " + polling.error().text(), 101};
    }
    idle = std::move(polling).value();
  }
  std::unique_ptr<ScreenLockWatch> screen_lock;
  if (settings.lock_on_screen_lock) {
    Result<std::unique_ptr<ScreenLockWatch>, std::string> watch = ScreenLockWatch::start();
    // Said once: the agent serves on, and forgets as its other settings say.
    if (!watch.ok()) diagnose("the screen lock is not watched: " + watch.error());
    if (watch.ok()) screen_lock = std::move(watch).value();
  }
  auto shutdown = std::make_shared<ShutdownFlag>(idle.waker());
  std::optional<StopOnTermination> stop_on_termination;
  if (activated) stop_on_termination.emplace(shutdown);
  // The service manager's socket file is its own: no takeover watch, no removal.
  serve(listening, activated ? std::string() : path, std::move(cache), std::move(shutdown), *clock,
        settings.show_requester, std::move(idle), screen_lock.get());
  return Ok{};
}

Result<Ok, StartupFailure> run() {
  prepare_process();
  // Before any socket, the probe's included: an agent that would not do what
  // its user asked for must not start at all, and says only that.
  const Result<AgentSettings, SettingError> settings = settings_from_environment();
  if (!settings.ok()) return StartupFailure{settings.error().text, 1};
  harden_process();
  raise_memory_lock_limit();
  try {
    return run(make_platform_backend({.confirm_yes_no = settings.value().confirm_yes_no}),
               monotonic_clock(), settings.value());
  } catch (const std::exception& e) {
    // Deliberately fatal: the main thread cannot serve without its state.
    return StartupFailure{std::string("internal error: ") + e.what(), 101};
  }
}

}  // namespace tarnwel
