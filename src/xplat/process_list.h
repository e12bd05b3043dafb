#pragma once
// The processes that run one program: how hosts left running by an earlier
// service are found again.

#include <cstdint>
#include <string>
#include <vector>

namespace xplat {

struct RunningProgram {
  std::uint32_t processId = 0;
  std::vector<std::wstring> arguments;  // those after the program's name
};

// Every process whose image is the file at `image`, with its arguments.
// Windows: a process snapshot, each process's full image name (compared
// without regard to case) and its command line, split as the C run-time
// splits it; Linux: /proc. Processes that cannot be inspected are passed over.
std::vector<RunningProgram> ProcessesRunning(const std::wstring& image);

}  // namespace xplat
