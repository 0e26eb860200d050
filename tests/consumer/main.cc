// Asks this user's agent who it is, through the installed client library.
// Exit status 0 and one line when an agent answers, 1 otherwise.
#include <iostream>

#include "client/client.h"

int main() {
  const tarnwel::Client client = tarnwel::Client::for_this_user();
  const auto id = client.ping();
  if (!id.ok()) {
    std::cerr << "consumer: " << tarnwel::describe(id.error()) << "\n";
    return 1;
  }
  std::cout << "tarnwel-agent " << id.value().agent_version << ", pid " << id.value().agent_pid
            << "\n";
  return 0;
}
