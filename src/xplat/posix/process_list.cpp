#include "xplat/process_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <memory>

#include "xplat/posix/regular_file.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr std::size_t kMaxCommandLineBytes = 64 * 1024;

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

bool IsProcessId(const char* name) {
  if (*name == '\0') return false;
  for (; *name; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

std::string ImageOf(const std::string& process) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(("/proc/" + process + "/exe").c_str(), target, sizeof target);
  return length > 0 && static_cast<std::size_t>(length) < sizeof target ? std::string(target, length) : std::string();
}

// /proc/<pid>/cmdline is not a regular file: read it as it is, to a limit.
std::vector<std::wstring> ArgumentsOf(const std::string& process) {
  const FileDescriptor fd(::open(("/proc/" + process + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (!fd || !ReadUpTo(fd.Get(), kMaxCommandLineBytes, bytes)) return {};
  std::vector<std::wstring> arguments;
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t end = bytes.find('\0', start);
    arguments.push_back(FromUtf8(bytes.substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

}  // namespace

std::vector<RunningProgram> ProcessesRunning(const std::vector<std::wstring>& images) {
  std::vector<RunningProgram> found;
  std::map<std::string, std::wstring> wanted;
  for (const std::wstring& image : images) wanted.emplace(ToUtf8(image), image);
  if (wanted.empty()) return found;
  const std::unique_ptr<DIR, CloseDirectory> proc(::opendir("/proc"));
  if (!proc) return found;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (!IsProcessId(entry->d_name)) continue;
    const auto image = wanted.find(ImageOf(entry->d_name));
    if (image == wanted.end()) continue;
    found.push_back(RunningProgram{static_cast<std::uint32_t>(std::stoul(entry->d_name)), image->second,
                                   ArgumentsOf(entry->d_name)});
  }
  return found;
}

}  // namespace xplat
