#include "xplat/posix/poll_readable.h"

#include <poll.h>

#include <cerrno>

#include "xplat/posix/wait_for_rest.h"

namespace xplat {

PollResult PollReadable(int fd, std::uint32_t ms) {
  return WaitForRest(ms, PollResult::TimedOut, [fd](std::uint32_t left) -> std::optional<PollResult> {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, PollTimeout(left));
    if (ready > 0) return PollResult::Ready;
    if (ready == 0) return PollResult::TimedOut;
    if (errno == EINTR) return std::nullopt;
    return PollResult::Failed;
  });
}

}  // namespace xplat
