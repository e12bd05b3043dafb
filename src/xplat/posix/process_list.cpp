#include "xplat/process_list.h"

#include <unistd.h>

#include <climits>
#include <map>
#include <optional>

#include "xplat/posix/kernel_file.h"
#include "xplat/posix/poll_readable.h"
#include "xplat/posix/process_handle_impl.h"
#include "xplat/posix/process_stat.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr char kDeleted[] = " (deleted)";

// The file the process runs; one replaced or deleted since it started is
// still named by its path.
std::string ImageOf(const std::string& process) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(("/proc/" + process + "/exe").c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  std::string image(target, static_cast<std::size_t>(length));
  const std::size_t suffix = sizeof kDeleted - 1;
  if (image.size() > suffix && image.compare(image.size() - suffix, suffix, kDeleted) == 0)
    image.resize(image.size() - suffix);
  return image;
}

std::optional<std::string> ReadProcFile(const std::string& process, const char* name) {
  return ReadKernelFile("/proc/" + process + "/" + name);
}

std::optional<std::vector<std::wstring>> ArgumentsOf(const std::string& process) {
  const std::optional<std::string> bytes = ReadProcFile(process, "cmdline");
  if (!bytes || bytes->empty()) return std::nullopt;
  std::vector<std::wstring> arguments;
  for (std::size_t start = 0; start < bytes->size();) {
    const std::size_t end = bytes->find('\0', start);
    arguments.push_back(FromUtf8(bytes->substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  arguments.erase(arguments.begin());
  return arguments;
}

// The pidfd first; what /proc says then belongs to its process as long as
// that process still runs afterwards, its id not yet free for another.
std::optional<RunningProgram> Examine(const std::string& process, const std::string& image) {
  ProcessHandle handle = OpenProcessToSupervise(static_cast<std::uint32_t>(std::stoul(process)));
  if (!handle) return std::nullopt;
  if (ImageOf(process) != image || !RunsAsCaller(static_cast<pid_t>(std::stol(process)))) return std::nullopt;
  std::optional<std::vector<std::wstring>> arguments = ArgumentsOf(process);
  if (!arguments || PollReadable(ProcessAccess::PidFd(handle), 0) != PollResult::TimedOut) return std::nullopt;
  RunningProgram program;
  program.process = std::move(handle);
  program.processId = static_cast<std::uint32_t>(std::stoul(process));
  program.arguments = std::move(*arguments);
  return program;
}

}  // namespace

std::vector<RunningProgram> OwnProcessesRunning(const std::vector<std::wstring>& images) {
  std::vector<RunningProgram> found;
  std::map<std::string, std::wstring> wanted;
  for (const std::wstring& image : images) wanted.emplace(ToUtf8(image), image);
  if (wanted.empty()) return found;
  for (const pid_t processId : ListProcesses()) {
    const std::string process = std::to_string(processId);
    const auto image = wanted.find(ImageOf(process));
    if (image == wanted.end()) continue;
    std::optional<RunningProgram> program = Examine(process, image->first);
    if (!program) continue;
    program->image = image->second;
    found.push_back(std::move(*program));
  }
  return found;
}

}  // namespace xplat
