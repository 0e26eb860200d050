#include "client/busy_retry.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "base/clock.h"
#include "base/secure_wipe.h"
#include "client/reply.h"

namespace tarnwel {
namespace {

// How soon a busy agent is asked again: a confirmation takes a person
// seconds, and a refusal costs the agent one try of a lock.
constexpr std::chrono::milliseconds RETRY_INTERVAL{250};

// The request line kept between tries: random bytes and the line XORed with
// them, so that no byte-for-byte copy of the secret in it stays in this
// process while the agent asks the user (when the one sent is taken).
//
// Masking and unmasking run in frames of their own, never inlined into the
// caller's: a loop over the line's bytes may leave some of them in its frame
// (the sanitizers' instrumented loads spill them there), and the caller's
// frame is live for the whole wait. Theirs is dead once they return, and the
// caller wipes it before it waits.
class MaskedLine {
 public:
  [[gnu::noinline]] explicit MaskedLine(RequestLine&& line)
      : masked_(std::move(line.text)), pad_(masked_.size()), wait_(line.wait) {
    for (std::size_t at = 0; at < pad_.size(); at += 256) {
      const std::size_t n = std::min<std::size_t>(256, pad_.size() - at);
#if defined(__APPLE__)
      ::arc4random_buf(pad_.data() + at, n);
#else
      // Zeros at worst: a plain copy. (A (void) cast does not quiet g++'s
      // warn_unused_result.)
      if (::getentropy(pad_.data() + at, n) != 0) continue;
#endif
    }
    apply(masked_);
  }

  [[gnu::noinline]] RequestLine unmasked() const {
    RequestLine line{masked_, wait_};
    apply(line.text);
    return line;
  }

 private:
  void apply(WipedBytes& text) const {
    for (std::size_t i = 0; i < text.size(); ++i) text[i] ^= pad_[i];
  }

  WipedBytes masked_;
  WipedBytes pad_;
  ReplyWait wait_;
};

bool is_busy(const WipedBytes& reply_line) {
  const Result<Reply, ClientError> reply = decode_reply(WipedBytes(reply_line));
  return !reply.ok() && reply.error().kind == ClientError::Kind::Agent &&
         reply.error().code == ErrorCode::PresenceBusy;
}

}  // namespace

Result<WipedBytes, ClientError> send_waiting_out_busy(const Client& client, RequestLine&& line,
                                                      const std::function<void()>& waiting,
                                                      std::chrono::nanoseconds limit) {
  const MaskedLine kept(std::move(line));
  const Instant deadline = MonotonicClock::now() + limit;
  bool told = false;
  while (true) {
    RequestLine plain = kept.unmasked();
    wipe_stack(MAX_STACK_WIPE);  // what unmasking (and masking) left below this frame
    Result<WipedBytes, ClientError> reply = client.send(std::move(plain));
    if (!reply.ok() || !is_busy(reply.value()) || MonotonicClock::now() >= deadline) return reply;
    if (!std::exchange(told, true)) waiting();
    std::this_thread::sleep_for(RETRY_INTERVAL);
  }
}

}  // namespace tarnwel
