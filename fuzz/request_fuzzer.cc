// The request path from raw bytes to the reply's bytes: each line of the
// input goes through a socket pair into handle_connection (framing, envelope,
// commands), all lines against one cache, so later requests see what earlier
// ones stored. The first byte picks how every presence check ends.
//
// Invariants: every request gets exactly one reply line of compact JSON with
// a boolean "ok" and, on failure, a known error code; what "get_secret" and
// "status" report matches a model of the cache built from the successful
// "unlock" and "lock" replies (the clock stands still, so nothing expires;
// an unlock succeeds when presence is granted and its reason is not blank);
// and whatever line parses encodes as one line that parses back to a value
// with the same encoding (not always an equal value: a number too large for
// a double parses as infinity, which the encoding writes as null).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "base/white_space.h"
#include "base/write_all.h"
#include "fuzz/fuzz_check.h"
#include "protocol/error_code.h"
#include "protocol/json_text.h"
#include "server/connection.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

// Larger inputs could fill the socket buffer before anything reads it.
constexpr std::size_t LARGEST_INPUT = 64 * 1024;

// How every presence check ends, picked by the input's first byte.
PresenceOutcome presence_answer(std::uint8_t choice) {
  const PresenceOutcome answers[] = {Ok{}, PresenceError::denied("fuzz says no"),
                                     PresenceError::busy(), PresenceError::timed_out(),
                                     PresenceError::unsupported()};
  return answers[choice % std::size(answers)];
}

// Sends `frame` as everything a client says, and returns everything the
// connection's handler answers before it closes the stream.
std::string serve(std::string_view frame, const std::shared_ptr<SecretCache>& cache,
                  const std::shared_ptr<ShutdownFlag>& shutdown) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  UniqueFd agent_end(fds[0]);
  UniqueFd client(fds[1]);
  FUZZ_CHECK(write_all(client.get(), frame), "the frame fits the socket buffer");
  ::shutdown(client.get(), SHUT_WR);  // the end of input, not a wait for the time limit
  handle_connection(std::move(agent_end), cache, shutdown);
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::read(client.get(), buffer, sizeof buffer)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  return reply;
}

// The request the agent read, if the frame held one; checks the round trip
// of any JSON value the frame's line held.
std::optional<Json> request_in(std::string_view frame) {
  const std::string_view text = frame.substr(0, frame.find('\n'));
  if (frame.find('\n') == std::string_view::npos || !is_valid_utf8(text)) return std::nullopt;
  Result<Json, JsonError> value = parse_json_text(text);
  // Read as the library reads it, whichever way it was read; only the
  // nesting limit makes this parser refuse more.
  const Json library = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(!library.is_discarded() || !value.ok(), "what the library refuses is refused");
  FUZZ_CHECK(!value.ok() || Json::to_cbor(value.value()) == Json::to_cbor(library),
             "a text is read as the library reads it");
  if (!value.ok()) return std::nullopt;
  const Result<std::string, JsonError> encoded = encode_compact(value.value());
  FUZZ_CHECK(encoded.ok() && encoded.value().find('\n') == std::string::npos,
             "a parsed value encodes as one line");
  const Result<Json, JsonError> again = parse_json_text(encoded.value());
  FUZZ_CHECK(again.ok(), "an encoding parses");
  const Result<std::string, JsonError> reencoded = encode_compact(again.value());
  FUZZ_CHECK(reencoded.ok() && reencoded.value() == encoded.value(),
             "an encoding survives a round trip unchanged");
  if (!value.value().is_object()) return std::nullopt;
  return std::move(value).value();
}

// Whether `bytes` are exactly one reply: one line of compact JSON (no white
// space, members in byte order) holding an object with a boolean "ok", and a
// single 0x0A at its end.
std::optional<Json> parse_reply_line(std::string_view bytes) {
  if (bytes.empty() || bytes.find('\n') != bytes.size() - 1) return std::nullopt;
  const std::string_view text = bytes.substr(0, bytes.size() - 1);
  Result<Json, JsonError> value = parse_json_text(text);
  if (!value.ok() || !value.value().is_object()) return std::nullopt;
  const auto ok = value.value().find("ok");
  if (ok == value.value().end() || !ok->is_boolean()) return std::nullopt;
  // Compact and sorted: encoding the parsed value again gives the same bytes.
  const Result<std::string, JsonError> again = encode_compact(value.value());
  if (!again.ok() || again.value() != text) return std::nullopt;
  return std::move(value).value();
}

std::string member(const Json& request, const char* name) {
  const auto it = request.find(name);
  return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Checks one reply against the model of the cache and updates the model.
void check_against_model(const Json& request, const Json& reply, bool granted,
                         std::map<std::string, std::string>& model) {
  const std::string cmd = member(request, "cmd");
  const bool ok = reply["ok"].get<bool>();
  const std::string error = ok ? "" : reply["error"].get<std::string>();
  if (error == "protocol_mismatch" || error == "invalid_request") return;
  const std::string profile = member(request, "profile");
  if (cmd == "unlock") {
    // A blank reason is denied before anyone is asked.
    const bool blank = is_blank(member(request, "reason"));
    FUZZ_CHECK(
        ok == (granted && !blank),
        "an unlock succeeds exactly when presence is granted for a reason that is not blank");
    FUZZ_CHECK(!blank || error == "presence_denied", "an unlock with a blank reason is denied");
    if (ok) model[profile] = member(request, "secret");
  } else if (cmd == "lock" && ok) {
    if (request.contains("profile")) {
      model.erase(profile);
    } else {
      model.clear();
    }
  } else if (cmd == "get_secret") {
    const auto cached = model.find(profile);
    if (cached == model.end()) {
      FUZZ_CHECK(error == "not_cached", "a secret never stored or since locked is not handed out");
    } else {
      FUZZ_CHECK(ok && reply["secret"] == cached->second, "get_secret returns the stored secret");
    }
  } else if (cmd == "status") {
    Json profiles = Json::array();
    for (const auto& [name, secret] : model) profiles.push_back(name);
    FUZZ_CHECK(reply["cached_profiles"] == profiles, "status lists the cached profiles in order");
  }
}

}  // namespace
}  // namespace tarnwel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwel;
  if (size == 0 || size > LARGEST_INPUT) return 0;
  const PresenceOutcome answer = presence_answer(data[0]);
  auto backend = std::make_unique<testing::FakePresenceBackend>();
  backend->answer_at_once(answer);
  auto cache = std::make_shared<SecretCache>(DEFAULT_TTL, std::move(backend),
                                             std::make_shared<testing::FakeClock>());
  auto shutdown = std::make_shared<ShutdownFlag>();
  std::map<std::string, std::string> model;

  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!input.empty()) {
    const std::size_t newline = input.find('\n');
    const std::string_view frame =
        input.substr(0, newline == std::string_view::npos ? input.size() : newline + 1);
    input.remove_prefix(frame.size());
    const std::string bytes = serve(frame, cache, shutdown);
    const std::optional<Json> reply = parse_reply_line(bytes);
    FUZZ_CHECK(reply.has_value(), "every request gets exactly one compact JSON reply line");
    if (!(*reply)["ok"].get<bool>()) {
      const auto code = reply->find("error");
      FUZZ_CHECK(code != reply->end() && code->is_string() &&
                     error_code_named(code->get<std::string>()).has_value(),
                 "a failed reply carries a known error code");
    }
    if (const std::optional<Json> request = request_in(frame)) {
      check_against_model(*request, *reply, answer.ok(), model);
    }
  }
  return 0;
}
