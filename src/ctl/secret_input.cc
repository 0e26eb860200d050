#include "ctl/secret_input.h"

#include <unistd.h>

#include "base/echo_off.h"
#include "base/utf8.h"
#include "base/wiped_input.h"
#include "ctl/output.h"

namespace tarnwel {
namespace {

Result<Ok, std::string> read_into(int fd, WipedBytes& out, ReadUntil until) {
  const Result<Ok, InputFailure> read = read_wiped(fd, out, MAX_SECRET_BYTES, until);
  if (read.ok()) return Ok{};
  switch (read.error().kind) {
    case InputFailure::Kind::ReadFailed: return "read standard input: " + read.error().error.text();
    case InputFailure::Kind::TooLarge: break;
  }
  return "the secret on standard input exceeds " + std::to_string(MAX_SECRET_BYTES) + " bytes";
}

}  // namespace

Result<WipedBytes, std::string> read_secret(int fd, std::string_view profile) {
  WipedBytes secret;
  const bool terminal = ::isatty(fd) != 0;
  Result<Ok, std::string> read = Ok{};
  if (terminal) {
    // Echo goes off before the prompt shows: turning it off discards what was
    // typed ahead, and nothing may be typed (and shown) before it is off.
    const EchoOff echo_off(fd);
    report_raw("Secret for profile " + std::string(profile) + ": ");
    read = read_into(fd, secret, ReadUntil::Newline);
    // The Enter key's newline was not echoed: end the prompt's line ourselves.
    if (echo_off.active()) report_raw("\n");
  } else {
    read = read_into(fd, secret, ReadUntil::End);
  }
  if (!read.ok()) return std::move(read).error();
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!is_valid_utf8(as_view(secret))) return std::string("the secret is not valid UTF-8");
  return secret;
}

}  // namespace tarnwel
