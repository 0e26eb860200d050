#include <cstdlib>

#include "server/agent.h"

int main() {
  tarnwel::run();
  // Connection threads may still be running: leave without static destructors
  // that they could still be using.
  std::_Exit(0);
}
