#include "xplat/posix/kernel_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/regular_file.h"

namespace xplat {
namespace {

// A host's process list in a busy control group runs to some kilobytes.
constexpr std::size_t kMaxKernelFileBytes = 1024 * 1024;

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

}  // namespace

std::optional<std::string> ReadKernelFile(const std::string& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (!fd || !ReadUpTo(fd.Get(), kMaxKernelFileBytes, bytes)) return std::nullopt;
  return bytes;
}

bool WriteKernelFile(const std::string& path, const std::string& text) {
  const FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return fd && ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::vector<std::string> Subfolders(int folder) {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, CloseDirectory> listing(
      ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  while (const dirent* entry = listing ? ::readdir(listing.get()) : nullptr) {
    const std::string name = entry->d_name;
    if (entry->d_type == DT_DIR && name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::vector<pid_t> ListProcesses() {
  std::vector<pid_t> processes;
  const std::unique_ptr<DIR, CloseDirectory> proc(::opendir("/proc"));
  if (!proc) return processes;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (IsProcessId(entry->d_name)) processes.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
  }
  return processes;
}

}  // namespace xplat
