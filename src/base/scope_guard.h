// ScopeGuard runs a cleanup when the scope ends, unless cancelled first.
//
//   ScopeGuard unlink_socket = [&] { ::unlink(path.c_str()); };
//   ...
//   std::move(unlink_socket).cancel();  // ownership has passed on
#pragma once

#include <utility>

namespace tarnwel {

template <class F>
class [[nodiscard]] ScopeGuard {
 public:
  ScopeGuard(F f) : f_(std::move(f)) {}  // NOLINT: implicit, for `ScopeGuard g = [&] {...};`
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() {
    if (armed_) f_();
  }

  void cancel() && { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace tarnwel
