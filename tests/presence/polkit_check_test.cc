// System authentication through polkit, against python3-dbusmock's polkitd
// template on a private dbus-daemon that stands in for the system bus.
#include "presence/polkit_check.h"

#include <signal.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "presence/askpass_backend.h"
#include "support/agent_process.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using testing::TempDir;
using testing::wait_until;

constexpr auto WAIT = std::chrono::seconds(10);

class PolkitCheckTest : public ::testing::Test {
 protected:
  // The private bus as this process's system bus; polkit on it when asked.
  PolkitCheckTest() {
    testing::SocketPair address = testing::make_socket_pair();
    bus_ = testing::spawn("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"},
                          {"PATH=/usr/bin:/bin"}, -1, address.peer.get(), -1);
    address.peer.reset();
    std::string line;
    char c = 0;
    while (::read(address.ours.get(), &c, 1) == 1 && c != '\n') line += c;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", line.c_str(), 1);
  }
  ~PolkitCheckTest() override {
    for (const pid_t pid : {polkit_, bus_}) {
      if (pid <= 0) continue;
      ::kill(pid, SIGTERM);
      (void)testing::exit_status_of(pid);
    }
  }

  // dbusmock's polkitd, which refuses every action until told otherwise;
  // its calls logged.
  void start_polkit() {
    polkit_ = testing::spawn("/usr/bin/python3",
                             {"-m", "dbusmock", "--system", "--template", "polkitd", "-l", log()},
                             {"PATH=/usr/bin:/bin", std::string("DBUS_SYSTEM_BUS_ADDRESS=") +
                                                        ::getenv("DBUS_SYSTEM_BUS_ADDRESS")},
                             -1, -1, -1);
    ASSERT_TRUE(wait_until([&] { return polkit->check(request).has_value(); }));
  }
  void allow() {
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_system(&bus), 0);
    EXPECT_GE(sd_bus_call_method(bus, "org.freedesktop.PolicyKit1",
                                 "/org/freedesktop/PolicyKit1/Authority",
                                 "org.freedesktop.DBus.Mock", "SetAllowed", nullptr, nullptr, "as",
                                 1, std::string(POLKIT_ACTION).c_str()),
              0);
    sd_bus_flush_close_unref(bus);
  }
  std::string log() const { return root.path() + "/polkit.log"; }

  TempDir root;
  std::unique_ptr<PolkitCheck> polkit = make_polkit_check(WAIT);
  const Requester requester{::getpid(), "/usr/bin/git", true, ::getuid()};
  const PresenceRequest request{"deploy", &requester, "work"};

 private:
  pid_t bus_ = -1;
  pid_t polkit_ = -1;
};

TEST_F(PolkitCheckTest, WithoutPolkitOrABusOrASubjectItLeavesTheQuestionToAnotherWay) {
  EXPECT_FALSE(polkit->check(request).has_value()) << "a bus without polkit";
  start_polkit();
  EXPECT_FALSE(polkit->check({"deploy", nullptr, "work"}).has_value()) << "nobody to name";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root.path() + "/none").c_str(), 1);
  EXPECT_FALSE(polkit->check(request).has_value()) << "no bus";
}

TEST_F(PolkitCheckTest, RefusedAtOnceOrAllowedWithNoTerminalNamingTheActionAndTheSubject) {
  start_polkit();
  // The builtin program would deny: polkit's answer comes first.
  AskpassBackend backend(WAIT, std::chrono::seconds(1), "/bin/false", false,
                         make_polkit_check(WAIT));
  const PresenceOutcome refused = backend.evaluate(request);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), PresenceError::denied("polkit did not authorize it"));
  allow();
  EXPECT_TRUE(backend.evaluate(request).ok());
  std::ifstream file(log());
  const std::string calls((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const std::string& named :
       {std::string("CheckAuthorization"), std::string("unix-process"), std::string(POLKIT_ACTION),
        "dbus.UInt32(" + std::to_string(::getpid()) + ",",
        "dbus.Int32(" + std::to_string(::getuid()) + ",", std::string("Profile: work")}) {
    EXPECT_NE(calls.find(named), std::string::npos) << named << " in " << calls;
  }
}

}  // namespace
}  // namespace tarnwel
