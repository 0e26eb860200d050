#include "base/detached_thread.h"

#include <pthread.h>

namespace tarnwel::detail {

bool start_detached_thread(void* (*run)(void*), void* arg) noexcept {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  const bool started = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                       ::pthread_create(&thread, &attributes, run, arg) == 0;
  ::pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace tarnwel::detail
