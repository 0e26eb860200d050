// Waiting out "presence_busy": the agent asks one person one question at a
// time, and an "unlock" sent while another profile's confirmation is up is
// refused at once. send_waiting_out_busy sends it again until that one has
// ended, within the bound the agent gives a confirmation itself.
//
//   Result<WipedBytes, ClientError> reply = send_waiting_out_busy(
//       client, unlock_request(...), [] { say("waiting for another confirmation"); });
#pragma once

#include <chrono>
#include <functional>

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "client/client.h"
#include "client/request_line.h"

namespace tarnwel {

// How long a busy answer is waited out in all, from the first one.
constexpr std::chrono::seconds BUSY_WAIT_LIMIT{120};

// Sends `line` as Client::send does and, while the answer is "presence_busy",
// again every fraction of a second (keeping it masked between tries, never in
// the clear while the agent asks the user), calling
// `waiting` once before the first wait. The last answer once `limit` has
// passed is returned as it came.
Result<WipedBytes, ClientError> send_waiting_out_busy(
    const Client& client, RequestLine&& line, const std::function<void()>& waiting,
    std::chrono::nanoseconds limit = BUSY_WAIT_LIMIT);

}  // namespace tarnwel
