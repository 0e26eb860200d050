// ClientError: why a request to the agent did not succeed, as one value.
//
// Kind::Agent means the agent answered {"ok":false,...}: `code` mirrors the
// wire's "error" member, `wire_code` keeps its text (so a code added by a newer
// agent, which has no `code` here, still reaches the user), and `message`
// is the agent's "message" member, empty where the agent sends none. The other
// kinds are the client's own findings; their `message` says what went wrong.
//
//   if (!reply.ok() && reply.error().kind == ClientError::Kind::NoAgent) start_one();
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/error_code.h"

namespace tarnwel {

struct ClientError {
  enum class Kind {
    Agent,      // the agent answered with an error reply
    NoAgent,    // nothing listens at the socket path (ENOENT, ECONNREFUSED)
    Transport,  // connecting, sending or receiving failed otherwise, or timed out
    Protocol,   // the reply is not the JSON the protocol promises
    Untrusted,  // the socket's directory or the process at it may not be this user's
  };

  Kind kind;
  std::optional<ErrorCode> code;  // Kind::Agent, when this build knows the code
  std::string wire_code;                               // Kind::Agent only
  std::string message;

  static ClientError agent(std::string wire_code, std::string message);
  static ClientError no_agent(std::string message);
  static ClientError transport(std::string message);
  static ClientError protocol(std::string message);
  static ClientError untrusted(std::string message);
};

// One line for a person: the agent's message, or its error code when it sent
// no message; the client's own description for the other kinds.
std::string describe(const ClientError& error);

}  // namespace tarnwel
