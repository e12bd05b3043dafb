#include "xplat/file_system.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <cerrno>

#include "xplat/environment.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr std::size_t kCopyChunk = std::size_t{1} << 30;

// A name beside the target, so the finished copy can be renamed over it.
std::string TemporaryBeside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
}

bool SendContent(int in, int out) {
  for (;;) {
    const ssize_t sent = ::sendfile(out, in, nullptr, kCopyChunk);
    if (sent == 0) return true;
    if (sent < 0 && errno != EINTR) return false;
  }
}

// copy_file_range stays in the kernel (and may share extents); where the two
// files do not allow it, sendfile goes on from the same offsets.
bool CopyContent(int in, int out) {
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
    if (copied == 0) return true;
    if (copied > 0 || errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return SendContent(in, out);
    return false;
  }
}

bool OpenRegularFile(const std::wstring& path, FileDescriptor& fd, struct stat& status) {
  fd = FileDescriptor(::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fstat(fd.Get(), &status) != 0) return false;
  if (S_ISREG(status.st_mode)) return true;
  errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  return false;
}

}  // namespace

bool DeleteFile(const std::wstring& path) { return ::unlink(ToUtf8(path).c_str()) == 0; }

// The copy is written under a temporary name and renamed over the target, so
// a failure leaves the old target as it was, and a running program of the
// target's name keeps its own file.
bool CopyFile(const std::wstring& source, const std::wstring& target) {
  FileDescriptor in;
  struct stat status {};
  if (!OpenRegularFile(source, in, status)) return false;
  const std::string targetPath = ToUtf8(target);
  const std::string temporary = TemporaryBeside(targetPath);
  FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return false;
  const bool copied = ::fchmod(out.Get(), status.st_mode & 0777) == 0 && CopyContent(in.Get(), out.Get()) &&
                      ::close(out.Release()) == 0 && ::rename(temporary.c_str(), targetPath.c_str()) == 0;
  if (!copied) {
    const int error = errno;
    out.Close();
    ::unlink(temporary.c_str());
    errno = error;
  }
  return copied;
}

bool PathExists(const std::wstring& path) {
  boost::system::error_code error;
  return boost::filesystem::exists(boost::filesystem::path(ToUtf8(path)), error) && !error;
}

int Unlink(const std::wstring& path) { return ::unlink(ToUtf8(path).c_str()) == 0 ? 0 : -1; }

std::optional<std::string> ReadSharedFile(const std::wstring& path) {
  FileDescriptor fd(::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
    if (got == 0) return content;
    if (got > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

std::wstring CommonAppDataFolder() {
  const std::wstring root = ReadEnvironment(L"CUSTODEX_MACHINE_ROOT");
  return (root.empty() ? std::wstring(L"/var/lib/custodex") : root) + L"/ProgramData";
}

}  // namespace xplat
