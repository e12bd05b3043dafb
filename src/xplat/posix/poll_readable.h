#pragma once
// One descriptor awaited until it is readable, a signal handler's
// interruption not cutting the wait short.

#include <cstdint>

namespace xplat {

enum class PollResult { Ready, TimedOut, Failed };

// Waits at most ms (kInfinite: for ever) for the descriptor to be readable.
PollResult PollReadable(int fd, std::uint32_t ms);

}  // namespace xplat
