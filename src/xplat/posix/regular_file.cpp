#include "xplat/posix/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace xplat {

RegularFileStatus OpenRegularFile(const std::string& path, FileDescriptor& fd, struct stat& status) {
  fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd || ::fstat(fd.Get(), &status) != 0) {
    fd.Close();
    return RegularFileStatus::CannotOpen;
  }
  if (S_ISREG(status.st_mode)) return RegularFileStatus::Opened;
  fd.Close();
  errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  return RegularFileStatus::NotRegularFile;
}

bool ReadUpTo(int fd, std::size_t limit, std::string& content) {
  char buffer[1 << 16];
  for (std::size_t wanted = limit + 1; wanted > 0;) {
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, wanted));
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(got));
    wanted -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace xplat
