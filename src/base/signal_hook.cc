#include "base/signal_hook.h"

#include <errno.h>

#include <atomic>

namespace tarnwel {
namespace {

// What the handler runs. A signal handler can reach nothing else; it is set
// before the handler is installed and cleared only after the dispositions
// before are back.
std::atomic<const SignalHook::Target*> current{nullptr};
static_assert(std::atomic<const SignalHook::Target*>::is_always_lock_free);

extern "C" void on_signal(int) {
  const int saved = errno;
  if (const SignalHook::Target* target = current.load()) target->action(target->context);
  errno = saved;
}

}  // namespace

SignalHook::SignalHook(std::initializer_list<int> signals, int flags, Action action, void* context)
    : target_{action, context} {
  current.store(&target_);
  struct sigaction hooked {};
  hooked.sa_handler = on_signal;
  sigemptyset(&hooked.sa_mask);
  hooked.sa_flags = flags;
  for (const int signal : signals) {
    struct sigaction before {};
    if (::sigaction(signal, &hooked, &before) == 0) before_.emplace_back(signal, before);
  }
}

SignalHook::~SignalHook() {
  for (const auto& [signal, before] : before_) ::sigaction(signal, &before, nullptr);
  current.store(nullptr);
}

}  // namespace tarnwel
