#include <errno.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

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

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

class ErrorGuard {
 public:
  ~ErrorGuard() { sd_bus_error_free(&error); }
  sd_bus_error error{};  // SD_BUS_ERROR_NULL
};

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

int append_request(sd_bus_message* call, const PresenceRequest& request, std::uint64_t start_time) {
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
  return sd_bus_message_append(call, "us", ALLOW_USER_INTERACTION, "");
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
    const Bus bus(opened);
    sd_bus_message* made = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &made, POLKIT_NAME, AUTHORITY_PATH,
                                       AUTHORITY_INTERFACE, "CheckAuthorization") < 0) {
      return std::nullopt;
    }
    const Message call(made);
    if (append_request(call.get(), request, *start_time) < 0) return std::nullopt;
    ErrorGuard error;
    sd_bus_message* received = nullptr;
    // The call waits as long as the presence check does: the dialog stays
    // up for that long.
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(wait_).count();
    const int r = sd_bus_call(bus.get(), call.get(), static_cast<std::uint64_t>(usec), &error.error,
                              &received);
    const Message reply(received);
    if (r == -ETIMEDOUT || sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NO_REPLY)) {
      return PresenceOutcome(PresenceError::timed_out());
    }
    // No polkit, the action not installed, a bus that refuses: ask another way.
    if (r < 0) return std::nullopt;
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
