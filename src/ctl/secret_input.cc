#include "ctl/secret_input.h"

#include <errno.h>
#include <unistd.h>

#include "base/os_error.h"
#include "base/utf8.h"
#include "ctl/echo_off.h"
#include "ctl/output.h"

namespace tarnwel {
namespace {

// Reads into `out` until the end of input, or up to and including a newline
// when `one_line` (a terminal in canonical mode hands over a line per read).
Result<Ok, std::string> read_into(int fd, WipedBytes& out, bool one_line) {
  constexpr std::size_t CHUNK = 4096;
  while (true) {
    const std::size_t old_size = out.size();
    out.resize(old_size + CHUNK);  // read straight into the wiped buffer
    const ssize_t n = ::read(fd, out.data() + old_size, CHUNK);
    out.resize(old_size + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "read standard input: " + os_error_text(errno);
    if (n == 0) return Ok{};
    if (out.size() > MAX_SECRET_BYTES) {
      return "the secret on standard input exceeds " + std::to_string(MAX_SECRET_BYTES) + " bytes";
    }
    if (one_line && out.back() == '\n') return Ok{};
  }
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
    read = read_into(fd, secret, /*one_line=*/true);
    // The Enter key's newline was not echoed: end the prompt's line ourselves.
    if (echo_off.active()) report_raw("\n");
  } else {
    read = read_into(fd, secret, /*one_line=*/false);
  }
  if (!read.ok()) return std::move(read).error();
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!is_valid_utf8(as_view(secret))) return std::string("the secret is not valid UTF-8");
  return secret;
}

}  // namespace tarnwel
