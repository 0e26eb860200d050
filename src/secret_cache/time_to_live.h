// TimeToLive: how long a cached secret lives, from whole seconds up to
// 2^64 - 1 (the wire allows any unsigned 64-bit count, which std::chrono's
// signed seconds cannot hold). Expiry compares an elapsed duration with it,
// and what is left of it is a duration too: no absolute instant is computed,
// so that a ttl of any size works without overflow.
//
//   TimeToLive ttl = TimeToLive::from_seconds(60);
//   bool expired = ttl.exceeded_by(clock.now() - stored_at);
//   std::chrono::nanoseconds left = ttl.left_after(clock.now() - stored_at);
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tarnwel {

// What is left of a life too long to count.
inline constexpr std::chrono::nanoseconds NEVER_EXPIRES = std::chrono::nanoseconds::max();

class TimeToLive {
 public:
  static constexpr TimeToLive from_seconds(std::uint64_t seconds) { return TimeToLive(seconds); }

  std::uint64_t seconds() const { return seconds_; }

  // True once `elapsed` is strictly longer than this time-to-live: a secret is
  // still live at exactly its ttl. A negative elapsed time counts as zero.
  bool exceeded_by(std::chrono::nanoseconds elapsed) const {
    if (elapsed.count() <= 0) return false;
    const auto ns = static_cast<std::uint64_t>(elapsed.count());
    const std::uint64_t whole = ns / 1'000'000'000u;
    return whole > seconds_ || (whole == seconds_ && ns % 1'000'000'000u != 0);
  }

  // How long something that has lived for `elapsed` stays live: this
  // time-to-live less `elapsed`, zero at exactly the ttl and past it, and
  // NEVER_EXPIRES when that is longer than a duration holds (some 292 years).
  std::chrono::nanoseconds left_after(std::chrono::nanoseconds elapsed) const {
    constexpr std::uint64_t NS_PER_S = 1'000'000'000u;
    if (seconds_ > static_cast<std::uint64_t>(NEVER_EXPIRES.count()) / NS_PER_S) {
      return NEVER_EXPIRES;
    }
    const std::chrono::nanoseconds span(static_cast<std::int64_t>(seconds_ * NS_PER_S));
    return span - std::clamp(elapsed, std::chrono::nanoseconds(0), span);
  }

  friend bool operator==(const TimeToLive&, const TimeToLive&) = default;

 private:
  constexpr explicit TimeToLive(std::uint64_t seconds) : seconds_(seconds) {}
  std::uint64_t seconds_;
};

// The agent's default time-to-live: 24 hours.
inline constexpr TimeToLive DEFAULT_TTL = TimeToLive::from_seconds(86'400);

}  // namespace tarnwel
