// System authentication through polkit, against python3-dbusmock's polkitd
// template on a private dbus-daemon that stands in for the system bus: the
// check itself, and the real agent that asks it.
#include "presence/polkit_check.h"

#include <stdlib.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "support/requests.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using testing::round_trip;
using testing::wait_until;

constexpr auto WAIT = std::chrono::seconds(10);

class PolkitCheckTest : public ::testing::Test {
 protected:
  // The private bus as this process's system bus; polkit on it when asked.
  void SetUp() override {
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0 || ::access("/usr/bin/python3", X_OK) != 0 ||
        testing::exit_status_of(testing::spawn("/usr/bin/python3", {"-c", "import dbusmock"},
                                               {"PATH=/usr/bin:/bin"}, -1, -1, -1)) != 0) {
      GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (scripts/setup --dev)";
    }
    testing::SocketPair address = testing::make_socket_pair();
    bus_.emplace(testing::spawn("/usr/bin/dbus-daemon",
                                {"--session", "--nofork", "--print-address"},
                                {"PATH=/usr/bin:/bin"}, -1, address.peer.get(), -1));
    address.peer.reset();
    const std::string line = testing::read_until(address.ours.get(), "\n");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", line.substr(0, line.find('\n')).c_str(), 1);
  }

  // dbusmock's polkitd, which refuses every action until told otherwise;
  // its calls logged.
  void start_polkit() {
    polkit_.emplace(testing::spawn(
        "/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "polkitd", "-l", log()},
        {"PATH=/usr/bin:/bin", bus_variable()}, -1, -1, -1));
    ASSERT_TRUE(wait_until([&] { return polkit->check(request).has_value(); }));
  }
  // Calls `method` of the mock's own interface, with arguments as sd-bus takes them.
  template <typename... Arguments>
  void control(const char* method, const char* types, Arguments... arguments) {
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_system(&bus), 0);
    EXPECT_GE(sd_bus_call_method(
                  bus, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                  "org.freedesktop.DBus.Mock", method, nullptr, nullptr, types, arguments...),
              0)
        << method;
    sd_bus_flush_close_unref(bus);
  }
  std::string log() const { return root.path() + "/polkit.log"; }
  std::string calls() const { return testing::read_file(log()); }
  // How many checks polkit was told to cancel right after they were asked,
  // by the id they were asked with (a call's last argument, after its flags).
  std::ptrdiff_t withdrawn() const {
    const std::string log = calls();
    static const std::regex withdrawal(
        R"re( 1 "([^"]+)"\n[0-9.]+ CancelCheckAuthorization "\1"\n)re");
    return std::distance(std::sregex_iterator(log.begin(), log.end(), withdrawal),
                         std::sregex_iterator());
  }
  static std::string bus_variable() {
    return std::string("DBUS_SYSTEM_BUS_ADDRESS=") + ::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  testing::TempDir root;
  std::unique_ptr<PolkitCheck> polkit = make_polkit_check(WAIT);
  const Requester requester{::getpid(), "/usr/bin/git", true, ::getuid()};
  const PresenceRequest request{"deploy", &requester, "work"};

 private:
  // Killed and reaped as the test ends, polkit first.
  std::optional<testing::AgentProcess> bus_;
  std::optional<testing::AgentProcess> polkit_;
};

TEST_F(PolkitCheckTest, WithoutPolkitOrABusOrASubjectItLeavesTheQuestionToAnotherWay) {
  EXPECT_FALSE(polkit->check(request).has_value()) << "a bus without polkit";
  start_polkit();
  EXPECT_FALSE(polkit->check({"deploy", nullptr, "work"}).has_value()) << "nobody to name";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root.path() + "/none").c_str(), 1);
  EXPECT_FALSE(polkit->check(request).has_value()) << "no bus";
}

// polkit never answers here; the check ends by itself and withdraws the
// question it asked, by the id it asked with.
TEST_F(PolkitCheckTest, AQuestionThatOutlivesItsWaitOrItsRequesterIsWithdrawnByItsId) {
  start_polkit();
  control("SimulateHang", "b", 1);
  control("AddMethod", "sssss", "org.freedesktop.PolicyKit1.Authority", "CancelCheckAuthorization",
          "s", "", "");
  testing::SocketPair gone = testing::make_socket_pair();
  gone.peer.reset();
  const Requester hung_up{::getpid(), "/usr/bin/git", true, ::getuid(), gone.ours.get()};
  const auto end_of = [&](MonotonicClock::duration wait, const Requester& who) -> std::string {
    const auto outcome = make_polkit_check(wait)->check({"deploy", &who, "work"});
    return outcome && !outcome->ok() ? outcome->error().display() : "granted, or no answer";
  };
  EXPECT_EQ(end_of(std::chrono::milliseconds(100), requester), "presence check timed out");
  ASSERT_TRUE(wait_until([&] { return withdrawn() == 1; })) << calls();
  EXPECT_EQ(end_of(WAIT, hung_up), "presence check failed: the requesting program has gone");
  ASSERT_TRUE(wait_until([&] { return withdrawn() == 2; })) << calls();
}

// The agent with no askpass set and no terminal: polkit answers first.
TEST_F(PolkitCheckTest, AnAgentStoresWhatPolkitAllowsAndNothingItRefusesAtOnce) {
  start_polkit();
  std::vector<std::string> environment = testing::agent_environment(root.path(), "");
  environment.push_back(bus_variable());
  testing::AgentProcess agent(environment);
  const std::string socket = testing::socket_path_in(root.path());
  ASSERT_TRUE(testing::wait_until_serving(agent, socket));
  const std::string secret = testing::random_secret();
  EXPECT_EQ(round_trip(socket, testing::unlock_line("work", secret)),
            "{\"error\":\"presence_denied\",\"message\":\"presence check failed: polkit did not "
            "authorize it\",\"ok\":false}\n");
  EXPECT_EQ(round_trip(socket, testing::get_secret_line("work")),
            "{\"error\":\"not_cached\",\"ok\":false}\n");
  control("SetAllowed", "as", 1, std::string(POLKIT_ACTION).c_str());
  EXPECT_EQ(round_trip(socket, testing::unlock_line("work", secret)), "{\"ok\":true}\n");
  EXPECT_EQ(round_trip(socket, testing::get_secret_line("work")),
            "{\"ok\":true,\"secret\":\"" + secret + "\"}\n");
  const std::string log = calls();
  for (const std::string& named :
       {std::string("unix-process"), std::string(POLKIT_ACTION),
        "dbus.UInt32(" + std::to_string(::getpid()) + ",",
        "dbus.Int32(" + std::to_string(::getuid()) + ",", std::string("Profile: work")}) {
    EXPECT_NE(log.find(named), std::string::npos) << named << " in " << log;
  }
}

}  // namespace
}  // namespace tarnwel
