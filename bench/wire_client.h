// The load generator's side of the wire: one request line out, one reply line
// back, judged by a substring instead of a JSON parse, so that the client's
// own work stays small and equal for every server it measures.
//
// Thread-safety: free functions on descriptors of the caller's; any number of
// threads may use them at once.
//
//   Exchange e = request_once(path, PING_REQUEST, PING_REPLY_MARK);
//   if (e.kind == ReplyKind::Ok) record(e.latency);
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace tarnwel::bench {

inline constexpr std::string_view PING_REQUEST = R"({"cmd":"ping","protocol_version":2})";
inline constexpr std::string_view STATUS_REQUEST = R"({"cmd":"status","protocol_version":2})";
// What every successful reply of the agent, and the reference's, contains.
inline constexpr std::string_view OK_MARK = R"("ok":true)";
inline constexpr std::string_view BUSY_MARK = R"("error":"presence_busy")";

enum class ReplyKind { Ok, Busy, Failed };

// Where a request and its reply end on the wire. The agent's and the
// reference's: a newline after each. ssh-agent's: the request as given, the
// reply a 4-byte big-endian length and that many bytes. git's credential
// cache: the request as given (it ends in a blank line), the reply everything
// until the server closes.
enum class Framing { Line, LengthPrefixed, UntilClose };

struct Exchange {
  ReplyKind kind = ReplyKind::Failed;
  std::chrono::nanoseconds latency{0};
  std::string failure;  // what came back instead, when kind is Failed
};

// The reply, or why there was none, cut short for a report.
std::string describe_failure(const std::optional<std::string>& reply);

// {"cmd":"get_secret","profile":...} and {"cmd":"unlock",...} for `profile`.
std::string get_secret_request(std::string_view profile);
std::string unlock_request(std::string_view profile, std::string_view secret);

// A connected stream to `socket_path`, or an invalid one.
UniqueFd connect_to(const std::string& socket_path);

// Sends `request` (and, for Line, the newline) and reads the reply (the line
// without its newline, or the body after the length); none on any failure or
// after 10 s.
std::optional<std::string> exchange_on(int fd, std::string_view request,
                                       Framing framing = Framing::Line);

// Ok when the reply contains `ok_mark`, Busy on presence_busy, else Failed; a
// Line reply must also be a JSON object.
ReplyKind classify(const std::optional<std::string>& reply, std::string_view ok_mark,
                   Framing framing = Framing::Line);

// One request on a connection of its own, timed from connect to reply.
Exchange request_once(const std::string& socket_path, std::string_view request,
                      std::string_view ok_mark, Framing framing = Framing::Line);

}  // namespace tarnwel::bench
