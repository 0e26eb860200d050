// Wiping primitives for every buffer that held a secret.
//
//   secure_wipe(buffer, size);  // zeros that the compiler may not drop
//   wipe_stack(4096);           // zeros the 4 KiB below the caller's frame
#pragma once

#include <cstddef>

namespace tarnwel {

// Overwrites `size` bytes at `data` with zeros through stores the compiler may
// not drop. For every buffer that held a secret.
void secure_wipe(void* data, std::size_t size) noexcept;

// The deepest stack wipe_stack() can reach below its caller's frame.
inline constexpr std::size_t MAX_STACK_WIPE = 64 * 1024;

// Zeroes the stack below the caller's frame, as deep as `bytes` (at most
// MAX_STACK_WIPE): for a thread that is done with a request and whose stack
// will be reused, or for a client that has sent its secret and is about to
// wait (the frames it calls next are laid over the dead ones that held the
// secret, and a slot they leave unwritten would keep it for the whole wait).
// The first wipe on a thread leaves alone the pages of that span that are not
// resident (they hold nothing), so it faults in no memory; a later one within
// the same span wipes it whole without asking which are.
void wipe_stack(std::size_t bytes) noexcept;

}  // namespace tarnwel
