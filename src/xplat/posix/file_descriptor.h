#pragma once

#include <unistd.h>

#include <cerrno>

namespace xplat {

// Owns one file descriptor. Closing keeps errno, so a failure being reported
// still names its own cause after the cleanup.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd = other.Release();
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
  int Release() {
    int released = fd;
    fd = -1;
    return released;
  }
  void Close() {
    if (fd < 0) return;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = -1;
  }

 private:
  int fd = -1;
};

}  // namespace xplat
