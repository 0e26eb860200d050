// Many clients at once, each with random "unlock", "get_secret", "lock" and
// "status" requests, against the real agent: every request gets exactly one
// well-formed reply, and no "get_secret" hands out a secret that a completed
// "lock" had already forgotten.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/askpass_script.h"
#include "stress/process_inspection.h"
#include "support/requests.h"
#include "support/reply_line.h"

namespace tarnwel::testing {
namespace {

using Time = std::chrono::steady_clock::time_point;

constexpr int CLIENTS = 16;
constexpr int REQUESTS_PER_CLIENT = 50;
constexpr std::array<std::string_view, 3> PROFILES = {"alpha", "beta", "gamma"};

enum class Kind { Unlock, GetSecret, Lock, LockAll, Status };

struct Call {
  Kind kind;
  std::string profile;
  std::string secret;  // what an unlock sent
  Time start;          // before the connection is made
  Time end;            // after the reply has been read to its end
  std::string reply;
};

Call make_call(std::mt19937& random, int client, int index) {
  const int roll = static_cast<int>(random() % 100);
  Call call{};
  call.profile = std::string(PROFILES[random() % PROFILES.size()]);
  if (roll < 30) {
    call.kind = Kind::Unlock;
    call.secret = "c" + std::to_string(client) + "r" + std::to_string(index) + "-" + random_secret();
  } else if (roll < 65) {
    call.kind = Kind::GetSecret;
  } else if (roll < 78) {
    call.kind = Kind::Lock;
  } else if (roll < 82) {
    call.kind = Kind::LockAll;
    call.profile.clear();
  } else {
    call.kind = Kind::Status;
  }
  return call;
}

std::string line_of(const Call& call) {
  switch (call.kind) {
    case Kind::Unlock: return unlock_line(call.profile, call.secret);
    case Kind::GetSecret: return get_secret_line(call.profile);
    case Kind::Lock: return lock_line(call.profile);
    case Kind::LockAll: return lock_line();
    case Kind::Status: return request_line("status");
  }
  return "";
}

// The replies the protocol allows for each kind (the askpass always grants,
// but a check for another profile may be running: "presence_busy").
bool allowed(const Call& call, const Json& reply) {
  const bool ok = reply["ok"].get<bool>();
  const std::string error = reply.value("error", std::string());
  switch (call.kind) {
    case Kind::Unlock: return ok ? reply.size() == 1 : error == "presence_busy";
    case Kind::GetSecret:
      return ok ? reply.contains("secret") && reply["secret"].is_string()
                : error == "not_cached" && reply.size() == 2;
    case Kind::Lock:
    case Kind::LockAll: return ok && reply.size() == 1;
    case Kind::Status: return ok && reply.contains("cached_profiles");
  }
  return false;
}

TEST(ConcurrentClientsTest, EveryRequestIsAnsweredOnceAndNoLockedSecretIsHandedOut) {
  TempDir root;
  AgentProcess agent(agent_environment(root.path(), write_askpass_script(root.path(), "exit 0")));
  const std::string socket = socket_path_in(root.path());
  ASSERT_TRUE(wait_until_serving(agent, socket)) << agent.output();

  std::vector<std::vector<Call>> calls(CLIENTS);
  {
    std::vector<std::jthread> clients;
    for (int client = 0; client < CLIENTS; ++client) {
      clients.emplace_back([&, client] {
        std::mt19937 random(std::random_device{}());
        for (int i = 0; i < REQUESTS_PER_CLIENT; ++i) {
          Call call = make_call(random, client, i);
          call.start = std::chrono::steady_clock::now();
          call.reply = round_trip(socket, line_of(call));
          call.end = std::chrono::steady_clock::now();
          calls[client].push_back(std::move(call));
        }
      });
    }
  }

  std::map<std::string, const Call*> unlock_of_secret;
  std::vector<const Call*> locks;
  for (const auto& client : calls) {
    for (const Call& call : client) {
      const std::optional<Json> reply = parse_reply_line(call.reply);
      ASSERT_TRUE(reply.has_value()) << "not one reply line: '" << call.reply << "'";
      EXPECT_TRUE(allowed(call, *reply)) << line_of(call) << " -> " << call.reply;
      if (call.kind == Kind::Unlock && (*reply)["ok"].get<bool>()) {
        unlock_of_secret[call.secret] = &call;
      }
      if (call.kind == Kind::Lock || call.kind == Kind::LockAll) locks.push_back(&call);
    }
  }

  std::size_t secrets_handed_out = 0;
  for (const auto& client : calls) {
    for (const Call& get : client) {
      if (get.kind != Kind::GetSecret || !parse_reply_line(get.reply)->contains("secret")) continue;
      ++secrets_handed_out;
      const std::string secret = (*parse_reply_line(get.reply))["secret"].get<std::string>();
      const auto unlock = unlock_of_secret.find(secret);
      ASSERT_NE(unlock, unlock_of_secret.end()) << "no granted unlock sent " << secret;
      EXPECT_EQ(unlock->second->profile, get.profile) << secret;
      // A lock that completed before this get began forgot every secret whose
      // unlock had completed before the lock was sent: an unlock overtaken
      // by a lock never stores its secret afterwards.
      for (const Call* lock : locks) {
        const bool covers = lock->kind == Kind::LockAll || lock->profile == get.profile;
        if (!covers || lock->end >= get.start) continue;
        EXPECT_GT(unlock->second->end, lock->start)
            << get.profile << " handed out " << secret << " after a lock had forgotten it";
      }
    }
  }
  // Otherwise the check above would have nothing to look at.
  EXPECT_GT(secrets_handed_out, 0u);

  EXPECT_TRUE(wait_for_thread_count(agent.pid())) << thread_count(agent.pid());
  EXPECT_TRUE(agent.running());
  EXPECT_EQ(agent.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
