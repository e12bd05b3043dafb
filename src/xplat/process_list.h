#pragma once
// The processes that run one program: how hosts left running by an earlier
// service are found again.

#include <cstdint>
#include <string>
#include <vector>

#include "xplat/process.h"

namespace xplat {

struct RunningProgram {
  ProcessHandle process;  // opened to supervise: the handle its examination went through
  std::uint32_t processId = 0;
  std::wstring image;                   // as the caller named it
  std::vector<std::wstring> arguments;  // those after the program's name
};

// Every process of the caller's own user whose image is one of the files
// at `images` (a file replaced while its process runs still counts), with
// its arguments, in one look at the system's processes. Each is opened
// before it is examined, and the handle is the one examined and returned:
// a process id reused meanwhile is never taken for another process.
// Linux: /proc, a process whose real and effective user ids are the
// caller's, opened as a pidfd before /proc is read and still running after.
// Windows: a process snapshot, filtered on the image's file name before any
// process is opened, then only those opened, for querying limited
// information, whose token's user is the caller's; the command line is
// split as the C run-time splits it. Processes that cannot be examined are
// passed over.
std::vector<RunningProgram> OwnProcessesRunning(const std::vector<std::wstring>& images);

}  // namespace xplat
