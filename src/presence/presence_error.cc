#include "presence/presence_error.h"

namespace tarnwel {

std::string PresenceError::display() const {
  switch (kind_) {
    case Kind::Busy:
      return "a presence check for a different profile is already in progress";
    case Kind::Denied:
      return "presence check failed: " + text_;
    case Kind::TimedOut:
      return "presence check timed out";
    case Kind::Unsupported:
      return "presence check is not supported on this platform";
  }
  return {};  // unreachable: every kind is handled above
}

}  // namespace tarnwel
