#include "presence/reply_channel.h"

#include <utility>

#include "base/mutex.h"

namespace tarnwel {

struct ReplyChannelState {
  Mutex mu;
  CondVar changed;
  std::optional<PresenceOutcome> message TARNWEL_GUARDED_BY(mu);
  bool sender_gone TARNWEL_GUARDED_BY(mu) = false;
  bool receiver_gone TARNWEL_GUARDED_BY(mu) = false;
};

ReplySender::~ReplySender() {
  if (state_ == nullptr) return;  // moved from
  MutexLock lock(state_->mu);
  state_->sender_gone = true;
  state_->changed.notify_all();
}

void ReplySender::send(PresenceOutcome outcome) {
  MutexLock lock(state_->mu);
  if (state_->receiver_gone || state_->message.has_value()) return;
  state_->message.emplace(std::move(outcome));
  state_->changed.notify_all();
}

ReplyReceiver::~ReplyReceiver() {
  if (state_ == nullptr) return;  // moved from
  MutexLock lock(state_->mu);
  state_->receiver_gone = true;
  state_->message.reset();
}

std::optional<PresenceOutcome> ReplyReceiver::receive_until(Instant deadline) {
  ReplyChannelState& state = *state_;
  MutexLock lock(state.mu);
  state.changed.wait_until(lock, deadline, [&]() TARNWEL_REQUIRES(state.mu) {
    return state.message.has_value() || state.sender_gone;
  });
  return std::exchange(state.message, std::nullopt);
}

ReplyChannel make_reply_channel() {
  auto state = std::make_shared<ReplyChannelState>();
  return ReplyChannel{ReplySender(state), ReplyReceiver(state)};
}

}  // namespace tarnwel
