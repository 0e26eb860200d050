// start_detached: a thread that nobody joins, detached from its start.
//
//   if (!start_detached([stream = std::move(stream)]() mutable { serve(std::move(stream)); })) {
//     // no thread: the body, and the stream it owns, are gone already
//   }
//
// std::thread(...).detach() detaches a thread that is already running, and
// glibc's pthread_detach reads the thread's descriptor after it has marked it
// detached: a thread that ends in that moment frees its stack, which glibc
// unmaps when its cache of stacks is full, and the read faults. Threads
// started detached are never detached later.
#pragma once

#include <memory>
#include <utility>

namespace tarnwel {

namespace detail {
// Starts run(arg) on a new detached thread; false if none could be started.
bool start_detached_thread(void* (*run)(void*), void* arg) noexcept;
}  // namespace detail

// Runs `body` on a new detached thread. Returns false, with `body` destroyed,
// if no thread could be started.
template <typename Body>
bool start_detached(Body body) {
  auto owned = std::make_unique<Body>(std::move(body));
  void* (*run)(void*) = [](void* arg) -> void* {
    const std::unique_ptr<Body> mine(static_cast<Body*>(arg));
    (*mine)();
    return nullptr;
  };
  if (!detail::start_detached_thread(run, owned.get())) return false;
  (void)owned.release();  // the thread owns it now
  return true;
}

}  // namespace tarnwel
