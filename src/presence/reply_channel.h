// ReplyChannel: carries the one outcome of a platform evaluation from the
// thread the platform chose for its reply to the thread that waits for it.
//
// The sender belongs to the platform's side and may outlive the receiver (a
// reply after the wait has ended); the receiver belongs to the waiting thread.
// Only the first message counts: the platform replies at most once, so one
// slot is all the channel needs, and a send after the receiver is gone is
// dropped.
//
// Thread-safety: the two ends may be used and destroyed on different threads,
// in any order. Each end has a single owner.
//
//   ReplyChannel channel = make_reply_channel();
//   hand_to_platform(std::move(channel.sender));
//   std::optional<PresenceOutcome> reply = channel.receiver.receive_until(deadline);
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "base/clock.h"
#include "presence/presence_error.h"

namespace tarnwel {

struct ReplyChannelState;

// What both ends share: their hold on the state, and telling the other end,
// when they go, that they are gone. Moved from, an end tells nothing.
class ReplyChannelEnd {
 protected:
  enum class Side { Sender, Receiver };
  ReplyChannelEnd(std::shared_ptr<ReplyChannelState> state, Side side)
      : state_(std::move(state)), side_(side) {}
  ReplyChannelEnd(ReplyChannelEnd&&) noexcept = default;
  ReplyChannelEnd& operator=(ReplyChannelEnd&&) noexcept = default;
  // The sender's going wakes a waiting receiver: no message can come any
  // more. From the receiver's going on, sends are dropped.
  ~ReplyChannelEnd();

  ReplyChannelState& state() const { return *state_; }

 private:
  std::shared_ptr<ReplyChannelState> state_;
  Side side_;
};

class ReplySender : public ReplyChannelEnd {
 public:
  explicit ReplySender(std::shared_ptr<ReplyChannelState> state)
      : ReplyChannelEnd(std::move(state), Side::Sender) {}

  // Delivers `outcome`, unless the receiver is gone or a message was already
  // delivered; either way the outcome is dropped without a trace.
  void send(PresenceOutcome outcome);
};

class ReplyReceiver : public ReplyChannelEnd {
 public:
  explicit ReplyReceiver(std::shared_ptr<ReplyChannelState> state)
      : ReplyChannelEnd(std::move(state), Side::Receiver) {}

  // The message, or nothing once `deadline` has passed or the sender was
  // destroyed without sending.
  std::optional<PresenceOutcome> receive_until(Instant deadline);
};

struct ReplyChannel {
  ReplySender sender;
  ReplyReceiver receiver;
};

ReplyChannel make_reply_channel();

}  // namespace tarnwel
