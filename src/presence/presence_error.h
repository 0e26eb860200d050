// PresenceError: why a presence check did not grant. A closed set of four
// kinds, each answered by an error code of its own (server/response.h).
//
//   PresenceOutcome outcome = backend.evaluate(reason);
//   if (!outcome.ok()) reply(outcome.error().display());
#pragma once

#include <string>

#include "base/result.h"

namespace tarnwel {

class PresenceError {
 public:
  enum class Kind { Busy, Denied, TimedOut, Unsupported };

  static PresenceError busy() { return PresenceError(Kind::Busy, {}); }
  static PresenceError denied(std::string text) {
    return PresenceError(Kind::Denied, std::move(text));
  }
  static PresenceError timed_out() { return PresenceError(Kind::TimedOut, {}); }
  static PresenceError unsupported() { return PresenceError(Kind::Unsupported, {}); }
  // A Denied for an evaluation that ended abnormally (the platform could not
  // be driven, or raised): the request that ran it reports the text like any
  // denial, but the requests that joined it receive Busy.
  static PresenceError abnormal_end(std::string text) {
    PresenceError error(Kind::Denied, std::move(text));
    error.abnormal_end_ = true;
    return error;
  }

  Kind kind() const { return kind_; }
  // The text a Denied carries; empty for the other kinds.
  const std::string& denied_text() const { return text_; }
  bool is_abnormal_end() const { return abnormal_end_; }
  // "a presence check for a different profile is already in progress",
  // "presence check failed: {text}", "presence check timed out", or
  // "presence check is not supported on this platform".
  std::string display() const;

  friend bool operator==(const PresenceError&, const PresenceError&) = default;

 private:
  PresenceError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
  bool abnormal_end_ = false;
};

// The outcome of one check: granted (Ok) or a PresenceError. Copyable.
using PresenceOutcome = Result<Ok, PresenceError>;

}  // namespace tarnwel
