#pragma once
// The module's host events as the service hears them: each printed as one
// line as it comes, and the last ones kept for the "events" command.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace service {

// "#17 Crashy ended: exit code 139, killed by SIGSEGV, ran 2 ms"; empty for
// what is no host event.
std::string DescribeHostEvent(const std::string& document);

class HostEventLog {
 public:
  static constexpr std::size_t kKept = 32;

  // From the listener thread: prints the event and keeps its line.
  void Hear(const std::string& document);
  std::vector<std::string> Last() const;

 private:
  mutable std::mutex mutex;
  std::deque<std::string> lines;
};

}  // namespace service
