// TimeToLive: how long a cached secret lives, from whole seconds up to
// 2^64 - 1 (the wire allows any unsigned 64-bit count, which std::chrono's
// signed seconds cannot hold). Expiry compares an elapsed duration with it,
// so that nothing overflows; the one absolute instant, last_live_instant(),
// saturates at the clock's farthest instant instead.
//
//   TimeToLive ttl = TimeToLive::from_seconds(60);
//   bool expired = ttl.exceeded_by(clock.now() - stored_at);
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarnwel {

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

  // The last instant at which something that began at `start` is still live:
  // `start` plus this time-to-live, or the clock's farthest instant when the
  // sum lies beyond it. Past it, and only past it, exceeded_by holds.
  template <class TimePoint>
  TimePoint last_live_instant(TimePoint start) const {
    static_assert(std::is_same_v<typename TimePoint::duration, std::chrono::nanoseconds>);
    constexpr std::int64_t FARTHEST = std::numeric_limits<std::int64_t>::max();
    constexpr std::uint64_t NS_PER_S = 1'000'000'000u;
    if (seconds_ > static_cast<std::uint64_t>(FARTHEST) / NS_PER_S) return TimePoint::max();
    const auto span = static_cast<std::int64_t>(seconds_ * NS_PER_S);
    const std::int64_t begun = start.time_since_epoch().count();
    if (begun > FARTHEST - span) return TimePoint::max();
    return TimePoint(std::chrono::nanoseconds(begun + span));
  }

  friend bool operator==(const TimeToLive&, const TimeToLive&) = default;

 private:
  constexpr explicit TimeToLive(std::uint64_t seconds) : seconds_(seconds) {}
  std::uint64_t seconds_;
};

// The agent's default time-to-live: 24 hours.
inline constexpr TimeToLive DEFAULT_TTL = TimeToLive::from_seconds(86'400);

}  // namespace tarnwel
