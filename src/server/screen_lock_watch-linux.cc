#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "base/diagnostics.h"
#include "base/os_error.h"
#include "base/sd_bus_handles.h"
#include "server/screen_lock_watch.h"

namespace tarnwel {
namespace {

constexpr const char* LOGIND = "org.freedesktop.login1";
constexpr const char* MANAGER_PATH = "/org/freedesktop/login1";
constexpr const char* MANAGER_INTERFACE = "org.freedesktop.login1.Manager";
constexpr const char* SESSION_INTERFACE = "org.freedesktop.login1.Session";
constexpr std::uint64_t BUS_CALL_TIMEOUT_USEC = 2'000'000;

}  // namespace

struct ScreenLockWatch::Platform {
  SdBus bus;
  SdBusSlot lock_signal;
  SdBusSlot properties;
  bool locked = false;
};

namespace {

int on_lock(sd_bus_message*, void* seen, sd_bus_error*) {
  static_cast<ScreenLockWatch::Platform*>(seen)->locked = true;
  return 0;
}

// PropertiesChanged(s interface, a{sv} changed, as invalidated): LockedHint
// among the changed ones, and true.
int on_properties(sd_bus_message* message, void* seen, sd_bus_error*) {
  const char* interface = nullptr;
  if (sd_bus_message_read(message, "s", &interface) < 0 ||
      std::string_view(interface) != SESSION_INTERFACE ||
      sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
    return 0;
  }
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0) return 0;
    int hint = 0;
    if (std::string_view(name) == "LockedHint" &&
        sd_bus_message_read(message, "v", "b", &hint) >= 0 && hint != 0) {
      static_cast<ScreenLockWatch::Platform*>(seen)->locked = true;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(message) < 0) return 0;
  }
  return 0;
}

// The object path of the session to watch: XDG_SESSION_ID's, else the one
// logind finds for this process, else the user's graphical session (an agent
// that the user's service manager started is in no session of its own).
struct SessionPath {
  std::string path;
};

Result<SessionPath, std::string> session_path(sd_bus* bus) {
  const char* session = ::getenv("XDG_SESSION_ID");
  const bool named = session != nullptr && *session != '\0';
  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, LOGIND, MANAGER_PATH, MANAGER_INTERFACE, "GetSession",
                             &error.error, &reply, "s", named ? session : "auto");
  SdBusMessage owned(reply);
  const char* path = nullptr;
  if (r >= 0 && sd_bus_message_read(reply, "o", &path) > 0) return SessionPath{path};
  if (named) return "logind's session \"" + std::string(session) + "\": " + error.text(r);
  const int lookup = r;  // why no session is this process's
  SdBusError user_error;
  reply = nullptr;
  r = sd_bus_call_method(bus, LOGIND, MANAGER_PATH, MANAGER_INTERFACE, "GetUser", &user_error.error,
                         &reply, "u", static_cast<std::uint32_t>(::getuid()));
  owned.reset(reply);
  const char* user = nullptr;
  if (r < 0 || sd_bus_message_read(reply, "o", &user) <= 0) {
    return "no logind session of this process or its user: " + error.text(lookup);
  }
  const std::string user_path = user;
  reply = nullptr;
  r = sd_bus_get_property(bus, LOGIND, user_path.c_str(), "org.freedesktop.login1.User", "Display",
                          &user_error.error, &reply, "(so)");
  owned.reset(reply);
  const char* id = nullptr;
  if (r >= 0 && sd_bus_message_read(reply, "(so)", &id, &path) > 0 && *id != '\0') {
    return SessionPath{path};
  }
  return "no logind session of this process, nor a graphical one of its user: " +
         error.text(lookup);
}

}  // namespace

Result<std::unique_ptr<ScreenLockWatch>, std::string> ScreenLockWatch::start() {
  auto platform = std::make_unique<Platform>();
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) return "the system bus: " + os_error_text(-r);
  platform->bus.reset(bus);
  // The agent serves no client while it asks: a bus that does not answer
  // must not hold it up for sd-bus's default 25 s.
  (void)sd_bus_set_method_call_timeout(bus, BUS_CALL_TIMEOUT_USEC);

  Result<SessionPath, std::string> found = session_path(bus);
  if (!found.ok()) return std::move(found).error();
  const char* path = found.value().path.c_str();

  sd_bus_slot* slot = nullptr;
  r = sd_bus_match_signal(bus, &slot, LOGIND, path, SESSION_INTERFACE, "Lock", on_lock,
                          platform.get());
  if (r < 0) return "watching " + std::string(path) + ": " + os_error_text(-r);
  platform->lock_signal.reset(slot);
  r = sd_bus_match_signal(bus, &slot, LOGIND, path, "org.freedesktop.DBus.Properties",
                          "PropertiesChanged", on_properties, platform.get());
  if (r < 0) return "watching " + std::string(path) + ": " + os_error_text(-r);
  platform->properties.reset(slot);
  return std::make_unique<ScreenLockWatch>(std::move(platform));
}

ScreenLockWatch::ScreenLockWatch(std::unique_ptr<Platform> platform)
    : platform_(std::move(platform)) {}

ScreenLockWatch::~ScreenLockWatch() = default;

int ScreenLockWatch::fd() const {
  return platform_->bus != nullptr ? sd_bus_get_fd(platform_->bus.get()) : -1;
}

bool ScreenLockWatch::locked() {
  if (platform_->bus == nullptr) return false;
  // Everything that has arrived, and nothing more: each call handles at most
  // one message, and 0 says that none is left.
  int r = 0;
  while ((r = sd_bus_process(platform_->bus.get(), nullptr)) > 0) {
  }
  const bool locked = std::exchange(platform_->locked, false);
  if (r < 0) {
    // A bus that went away would wake every wait at once; the secrets stay
    // as the other settings keep them.
    diagnose("the screen lock is no longer watched: the system bus: " + os_error_text(-r));
    platform_->properties.reset();
    platform_->lock_signal.reset();
    platform_->bus.reset();
  }
  return locked;
}

}  // namespace tarnwel
