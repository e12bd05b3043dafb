#pragma once
// The processes that run one program: how hosts left running by an earlier
// service are found again.

#include <cstdint>
#include <string>
#include <vector>

namespace xplat {

struct RunningProgram {
  std::uint32_t processId = 0;
  std::wstring image;                   // as the caller named it
  std::vector<std::wstring> arguments;  // those after the program's name
};

// Every process whose image is one of the files at `images`, with its
// arguments, in one look at the system's processes. Windows: a process
// snapshot, each process's full image name (compared without regard to
// case) and its command line, split as the C run-time splits it; Linux:
// /proc. Processes that cannot be inspected are passed over.
std::vector<RunningProgram> ProcessesRunning(const std::vector<std::wstring>& images);

}  // namespace xplat
