#include "xplat/posix/poll_readable.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "xplat/clock.h"

namespace xplat {

PollResult PollReadable(int fd, std::uint32_t ms) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(ms);
  for (int timeout = ms == kInfinite ? -1 : static_cast<int>(std::min<std::uint32_t>(ms, INT_MAX));;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout);
    if (ready > 0) return PollResult::Ready;
    if (ready == 0) return PollResult::TimedOut;
    if (errno != EINTR) return PollResult::Failed;
    if (timeout >= 0) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      timeout = static_cast<int>(std::max<decltype(left)>(0, std::min<decltype(left)>(left, INT_MAX)));
    }
  }
}

}  // namespace xplat
