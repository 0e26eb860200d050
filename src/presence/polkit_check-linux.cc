#include <errno.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "base/sd_bus_handles.h"
#include "presence/confirmation_contract.h"
#include "presence/polkit_check.h"

namespace tarnwel {
namespace {

constexpr const char* POLKIT_NAME = "org.freedesktop.PolicyKit1";
constexpr const char* AUTHORITY_PATH = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* AUTHORITY_INTERFACE = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t ALLOW_USER_INTERACTION = 1;

// When `pid` started, in clock ticks since boot: field 22 of /proc/PID/stat,
// counted after the command name, which may hold blanks and parentheses.
std::optional<std::uint64_t> start_time_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return std::nullopt;
  for (int field = 2; field < 22 && at != std::string::npos; ++field) at = stat.find(' ', at + 1);
  if (at == std::string::npos) return std::nullopt;
  std::uint64_t ticks = 0;
  const char* begin = stat.data() + at + 1;
  const auto [end, error] = std::from_chars(begin, stat.data() + stat.size(), ticks);
  if (error != std::errc() || end == begin) return std::nullopt;
  return ticks;
}

// The dialog's message: the reason, the profile and the program that asks.
std::string dialog_message(const PresenceRequest& request) {
  std::string message(request.reason);
  message += "\nProfile: ";
  message += request.profile;
  // Appended, not concatenated: g++ 12 at -O3 warns (-Wrestrict) about an
  // overlap that cannot happen in `"\n" + text`.
  message += '\n';
  message += requester_line(request.requester->pid, request.requester->executable);
  return message;
}

// A cancellation id of the check's own, which CancelCheckAuthorization names.
// polkit wants it unique among its caller's; a check is its connection's only
// call, and the count keeps the ids of one agent apart all the same.
std::string new_cancellation_id() {
  static std::atomic<std::uint64_t> checks{0};
  return "tarnwel-agent-" + std::to_string(::getpid()) + "-" + std::to_string(++checks);
}

int append_request(sd_bus_message* call, const PresenceRequest& request, std::uint64_t start_time,
                   const std::string& cancellation_id) {
  const Requester& requester = *request.requester;
  int r = sd_bus_message_append(call, "(sa{sv})s", "unix-process", 3, "pid", "u",
                                static_cast<std::uint32_t>(requester.pid), "start-time", "t",
                                start_time, "uid", "i", static_cast<std::int32_t>(requester.uid),
                                std::string(POLKIT_ACTION).c_str());
  if (r < 0) return r;
  const std::string message = dialog_message(request);
  const std::string reason(request.reason);
  const std::string profile(request.profile);
  r = sd_bus_message_append(call, "a{ss}", 3, "polkit.message", message.c_str(), "reason",
                            reason.c_str(), "profile", profile.c_str());
  if (r < 0) return r;
  return sd_bus_message_append(call, "us", ALLOW_USER_INTERACTION, cancellation_id.c_str());
}

// Withdraws the check, so that the desktop takes its dialog down. polkit takes
// it only from the connection that asked. No reply is awaited: the bus is
// flushed as it closes.
void cancel(sd_bus* bus, const std::string& cancellation_id) {
  sd_bus_message* made = nullptr;
  if (sd_bus_message_new_method_call(bus, &made, POLKIT_NAME, AUTHORITY_PATH, AUTHORITY_INTERFACE,
                                     "CancelCheckAuthorization") < 0) {
    return;
  }
  const SdBusMessage call(made);
  if (sd_bus_message_append(call.get(), "s", cancellation_id.c_str()) < 0 ||
      sd_bus_message_set_expect_reply(call.get(), 0) < 0) {
    return;
  }
  static_cast<void>(sd_bus_send(bus, call.get(), nullptr));
}

int keep_reply(sd_bus_message* reply, void* kept, sd_bus_error* /*unused*/) {
  static_cast<SdBusMessage*>(kept)->reset(sd_bus_message_ref(reply));
  return 0;
}

enum class Waited { Replied, TimedOut, RequesterGone, BusFailed };

// Runs the bus until the call's reply is in `reply`, `deadline` passes, or
// `hangup_fd` (-1: none) reports a hang-up.
Waited wait_for_reply(sd_bus* bus, const SdBusMessage& reply, Instant deadline, int hangup_fd) {
  for (;;) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return Waited::BusFailed;
    if (reply != nullptr) return Waited::Replied;
    if (processed > 0) continue;
    const Instant now = MonotonicClock::now();
    if (now >= deadline) return Waited::TimedOut;
    Instant until = deadline;
    std::uint64_t bus_due = 0;  // CLOCK_MONOTONIC, as MonotonicClock reads it on Linux
    if (sd_bus_get_timeout(bus, &bus_due) > 0 && bus_due != UINT64_MAX) {
      until =
          std::min(until, Instant(std::chrono::microseconds(static_cast<std::int64_t>(bus_due))));
    }
    const int fd = sd_bus_get_fd(bus);
    const int events = sd_bus_get_events(bus);
    if (fd < 0 || events < 0) return Waited::BusFailed;
    // No events asked of `hangup_fd`: POLLHUP comes all the same, a half-close does not.
    std::array<pollfd, 2> fds{{{fd, static_cast<short>(events), 0}, {hangup_fd, 0, 0}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    const int timeout = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      return Waited::BusFailed;
    }
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Waited::RequesterGone;
  }
}

// What the reply says: authorized; a challenge (no agent could raise it);
// else not authorized, and whether the user dismissed the dialog.
struct Authorization {
  bool authorized = false;
  bool challenge = false;
  bool dismissed = false;
};

std::optional<Authorization> read_reply(sd_bus_message* reply) {
  Authorization result;
  int authorized = 0;
  int challenge = 0;
  if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0 ||
      sd_bus_message_enter_container(reply, 'a', "{ss}") < 0) {
    return std::nullopt;
  }
  const char* key = nullptr;
  const char* value = nullptr;
  while (sd_bus_message_read(reply, "{ss}", &key, &value) > 0) {
    if (std::string_view(key) == "polkit.dismissed") result.dismissed = true;
  }
  result.authorized = authorized != 0;
  result.challenge = challenge != 0;
  return result;
}

class SdBusPolkitCheck final : public PolkitCheck {
 public:
  explicit SdBusPolkitCheck(MonotonicClock::duration wait) : wait_(wait) {}

  std::optional<PresenceOutcome> check(const PresenceRequest& request) override {
    if (request.requester == nullptr || request.requester->pid <= 0) return std::nullopt;
    const std::optional<std::uint64_t> start_time = start_time_of(request.requester->pid);
    if (!start_time) return std::nullopt;  // gone already, or not ours to see
    sd_bus* opened = nullptr;
    if (sd_bus_open_system(&opened) < 0) return std::nullopt;
    const SdBus bus(opened);
    sd_bus_message* made = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &made, POLKIT_NAME, AUTHORITY_PATH,
                                       AUTHORITY_INTERFACE, "CheckAuthorization") < 0) {
      return std::nullopt;
    }
    const SdBusMessage call(made);
    const std::string cancellation_id = new_cancellation_id();
    if (append_request(call.get(), request, *start_time, cancellation_id) < 0) return std::nullopt;
    // The call may outlast the wait: the check ends at the wait, and
    // withdraws the dialog itself.
    const Instant deadline = MonotonicClock::now() + wait_;
    const auto call_wait =
        std::chrono::ceil<std::chrono::microseconds>(wait_ + CONFIRM_WAIT_MARGIN);
    SdBusMessage reply;
    sd_bus_slot* made_slot = nullptr;
    if (sd_bus_call_async(bus.get(), &made_slot, call.get(), keep_reply, &reply,
                          static_cast<std::uint64_t>(call_wait.count())) < 0) {
      return std::nullopt;
    }
    const SdBusSlot slot(made_slot);  // dropped before `reply`, which it writes to
    switch (wait_for_reply(bus.get(), reply, deadline, request.requester->connection)) {
      case Waited::Replied: break;
      case Waited::TimedOut:
        cancel(bus.get(), cancellation_id);
        return PresenceOutcome(PresenceError::timed_out());
      case Waited::RequesterGone:
        cancel(bus.get(), cancellation_id);
        return PresenceOutcome(PresenceError::denied(std::string(REQUESTER_GONE_TEXT)));
      case Waited::BusFailed: return std::nullopt;
    }
    // No polkit, the action not installed, a bus that refuses: ask another way.
    if (sd_bus_message_is_method_error(reply.get(), nullptr) != 0) return std::nullopt;
    const std::optional<Authorization> answer = read_reply(reply.get());
    if (!answer || (!answer->authorized && answer->challenge)) return std::nullopt;
    if (answer->authorized) return PresenceOutcome(Ok{});
    return PresenceOutcome(PresenceError::denied(answer->dismissed
                                                     ? "the authentication dialog was dismissed"
                                                     : "polkit did not authorize it"));
  }

 private:
  const MonotonicClock::duration wait_;
};

}  // namespace

std::unique_ptr<PolkitCheck> make_polkit_check(MonotonicClock::duration wait) {
  return std::make_unique<SdBusPolkitCheck>(wait);
}

}  // namespace tarnwel
