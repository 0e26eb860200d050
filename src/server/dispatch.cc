#include "server/dispatch.h"

#include <cstdint>

#include "base/utf8.h"
#include "server/cache_commands.h"
#include "server/identity.h"

namespace tarnwel {
namespace {

bool protocol_version_matches(const Json& request) {
  const auto version = request.find("protocol_version");
  return version != request.end() && version->is_number_unsigned() &&
         version->get<std::uint64_t>() == PROTOCOL_VERSION;
}

Response protocol_mismatch_response() {
  Response reply = bare_error_response(ErrorCode::ProtocolMismatch);
  reply["agent_pid"] = agent_pid();
  reply["agent_protocol_version"] = PROTOCOL_VERSION;
  reply["agent_version"] = AGENT_VERSION;
  return reply;
}

std::string hex(char32_t cp) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), DIGITS[cp & 0xF]);
    cp >>= 4;
  } while (cp != 0);
  return out;
}

// A quoted literal of `name`: \" \\ \t \r \n \0 by name, other control
// characters (C0, DEL, C1) as \u{hex}, everything else unchanged.
std::string debug_literal(std::string_view name) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < name.size()) {
    const std::size_t start = i;
    const char32_t cp = next_code_point(name, i);
    switch (cp) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\0': out += "\\0"; continue;
      default: break;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      out += "\\u{" + hex(cp) + "}";
    } else {
      out.append(name.substr(start, i - start));
    }
  }
  out += '"';
  return out;
}

std::string describe_command(const Json& request) {
  const auto cmd = request.find("cmd");
  if (cmd == request.end() || !cmd->is_string()) return "None";
  return "Some(" + debug_literal(cmd->get_ref<const std::string&>()) + ")";
}

Response handle_shutdown(ShutdownFlag& shutdown) {
  shutdown.set();
  return Json{{"ok", true}};
}

}  // namespace

HandledRequest handle_request(Json& request, SecretCache& cache, ShutdownFlag& shutdown,
                              const Requester* requester) {
  if (!protocol_version_matches(request)) {
    // A client of another version asks this agent to make way for a matching one.
    shutdown.set();
    return {frame_of(protocol_mismatch_response())};
  }
  const auto cmd = request.find("cmd");
  if (cmd != request.end() && cmd->is_string()) {
    const std::string& name = cmd->get_ref<const std::string&>();
    if (name == "ping") return {identity_frame()};
    if (name == "status") return {handle_status(cache)};
    if (name == "unlock") {
      return {frame_of(handle_unlock(request, cache, requester)), UNLOCK_STACK_DEPTH};
    }
    if (name == "get_secret") {
      Result<WipedBytes, Response> frame = handle_get_secret(request, cache);
      return {frame.ok() ? std::move(frame).value() : frame_of(frame.error())};
    }
    if (name == "lock") return {frame_of(handle_lock(request, cache))};
    if (name == "shutdown") return {frame_of(handle_shutdown(shutdown))};
  }
  return {frame_of(
      error_response(ErrorCode::UnknownCommand, "no such command: " + describe_command(request)))};
}

}  // namespace tarnwel
