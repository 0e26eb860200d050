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

ReplyChannelEnd::~ReplyChannelEnd() {
  if (state_ == nullptr) return;  // moved from
  MutexLock lock(state_->mu);
  switch (side_) {
    case Side::Sender:
      state_->sender_gone = true;
      state_->changed.notify_all();
      return;
    case Side::Receiver:
      state_->receiver_gone = true;
      state_->message.reset();
      return;
  }
}

void ReplySender::send(PresenceOutcome outcome) {
  ReplyChannelState& shared = state();
  MutexLock lock(shared.mu);
  if (shared.receiver_gone || shared.message.has_value()) return;
  shared.message.emplace(std::move(outcome));
  shared.changed.notify_all();
}

std::optional<PresenceOutcome> ReplyReceiver::receive_until(Instant deadline) {
  ReplyChannelState& shared = state();
  MutexLock lock(shared.mu);
  shared.changed.wait_until(lock, deadline, [&]() TARNWEL_REQUIRES(shared.mu) {
    return shared.message.has_value() || shared.sender_gone;
  });
  return std::exchange(shared.message, std::nullopt);
}

ReplyChannel make_reply_channel() {
  auto state = std::make_shared<ReplyChannelState>();
  return ReplyChannel{ReplySender(state), ReplyReceiver(state)};
}

}  // namespace tarnwel
