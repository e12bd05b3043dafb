#include "xplat/posix/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace xplat {

RegularFileStatus OpenRegularFile(const std::string& path, FileDescriptor& fd, struct stat& status) {
  return OpenRegularFileAt(AT_FDCWD, path, fd, status);
}

RegularFileStatus OpenRegularFileAt(int folderFd, const std::string& name, FileDescriptor& fd, struct stat& status) {
  fd = FileDescriptor(::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd || ::fstat(fd.Get(), &status) != 0) {
    fd.Close();
    return RegularFileStatus::CannotOpen;
  }
  if (S_ISREG(status.st_mode)) return RegularFileStatus::Opened;
  fd.Close();
  errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  return RegularFileStatus::NotRegularFile;
}

bool ReadUpTo(int fd, std::size_t limit, std::string& content, std::size_t knownSize) {
  char buffer[1 << 16];
  const std::size_t end = content.size() + knownSize;
  for (std::size_t wanted = limit + 1; wanted > 0 && (knownSize == 0 || content.size() < end);) {
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
