// The talk between a posted question's asker (tarnwel-askpass) and the one
// answerer connected to it (a tarnwelctl or git helper at a terminal):
// newline-terminated lines over the question's stream socket.
//
// The asker sends "KIND TEXT" lines, TEXT on one line with control characters
// replaced: "secret" (read a line with echo off and send it back), "text" (the
// same with echo on), "yes-no" (ask "Allow? [y/n]"), "show" and "error" (tell
// the text), and "done" when it needs nothing more. The answerer sends one
// line per question: "answer TEXT", or "decline" to refuse at once. An answer
// may hold a password: it is read and sent only through wiped buffers.
//
// Thread-safety: functions of no state; one thread per descriptor.
//
//   send_to_answerer(link, AskKind::Secret, "Password: ");
//   ReplyEnd end = read_reply(link, reply, ends);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

enum class AskKind { Secret, Text, YesNo, Show, Error, Done };

struct AskerMessage {
  AskKind kind;
  std::string text;
};

// The longest line either side sends: a password, a PAM message.
inline constexpr std::size_t MAX_CONVERSATION_LINE_BYTES = 4096;

// Asker side. False when the answerer has gone.
bool send_to_answerer(int link, AskKind kind, std::string_view text = {});

// What ends the asker's wait for a reply, besides the reply.
struct WaitEnds {
  int stop_fd = -1;       // readable once the asker is told to stop
  int requester_fd = -1;  // readable once the requesting process has ended
  Instant deadline;
};

enum class ReplyEnd { Answered, Declined, AnswererGone, Stopped, RequesterGone, TimedOut };

// Reads one reply into `answer` (without "answer " and the newline); waits
// for the reply or one of `ends`. With Answered, `answer` holds the text.
ReplyEnd read_reply(int link, WipedBytes& answer, const WaitEnds& ends);

// Answerer side: the next message, or nothing once the link has ended or
// failed, or `stop_fd` (-1: none) is readable.
std::optional<AskerMessage> read_asker_message(int link, int stop_fd);

// Sends "answer TEXT"; `text` must hold no newline. False when the asker has gone.
bool send_answer(int link, std::string_view text);
bool send_decline(int link);

}  // namespace tarnwel
