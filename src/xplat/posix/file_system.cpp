#include "xplat/file_system.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "xplat/environment.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/regular_file.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr std::size_t kCopyChunk = std::size_t{1} << 30;

// A name in the target's folder, so the finished copy can be renamed over
// it; short, so a target whose name is as long as names may be has one.
std::string TemporaryBeside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return folder + ".copy." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
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

bool OpenSource(const std::wstring& path, FileDescriptor& fd, struct stat& status) {
  return OpenRegularFile(ToUtf8(path), fd, status) == RegularFileStatus::Opened;
}

}  // namespace

bool DeleteFile(const std::wstring& path) { return ::unlink(ToUtf8(path).c_str()) == 0; }

// The copy is written under a temporary name and renamed over the target, so
// a failure leaves the old target as it was, and a running program of the
// target's name keeps its own file.
bool CopyFile(const std::wstring& source, const std::wstring& target) {
  FileDescriptor in;
  struct stat status {};
  if (!OpenSource(source, in, status)) return false;
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

std::size_t FileNameLength(const std::wstring& name) { return ToUtf8(name).size(); }

bool KeepsFileName(const std::wstring& name) { return FromUtf8(ToUtf8(name)) == name; }

bool FitsInPath(const std::wstring& path) { return ToUtf8(path).size() < PATH_MAX; }

bool IsRegularFile(const std::wstring& path) {
  struct stat status {};
  return ::stat(ToUtf8(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

namespace {

FileVersion VersionOf(const struct stat& status) {
  FileVersion version;
  version.volume = static_cast<std::uint64_t>(status.st_dev);
  version.index = static_cast<std::uint64_t>(status.st_ino);
  version.size = static_cast<std::uint64_t>(status.st_size);
  version.modifiedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return version;
}

}  // namespace

std::optional<FileVersion> VersionOfFile(const std::wstring& path) {
  struct stat status {};
  if (::stat(ToUtf8(path).c_str(), &status) != 0) return std::nullopt;
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    return std::nullopt;
  }
  return VersionOf(status);
}

std::optional<std::string> ReadSharedFile(const std::wstring& path, std::size_t maxBytes, ReadRefusal* refusal,
                                          FileVersion* version) {
  ReadRefusal ignored = ReadRefusal::None;
  ReadRefusal& why = refusal ? *refusal : ignored;
  why = ReadRefusal::None;
  FileDescriptor fd;
  struct stat status {};
  const RegularFileStatus opened = OpenRegularFile(ToUtf8(path), fd, status);
  if (opened != RegularFileStatus::Opened) {
    if (opened == RegularFileStatus::NotRegularFile) why = ReadRefusal::NotRegularFile;
    return std::nullopt;
  }
  std::string content;
  if (static_cast<std::uintmax_t>(status.st_size) <= maxBytes &&
      !ReadUpTo(fd.Get(), maxBytes, content, static_cast<std::size_t>(status.st_size))) {
    return std::nullopt;
  }
  if (static_cast<std::uintmax_t>(status.st_size) > maxBytes || content.size() > maxBytes) {
    why = ReadRefusal::TooLarge;
    errno = EFBIG;
    return std::nullopt;
  }
  if (version) *version = VersionOf(status);
  return content;
}

std::wstring CommonAppDataFolder() {
  const std::wstring root = ReadEnvironment(L"CUSTODEX_MACHINE_ROOT");
  return (root.empty() ? std::wstring(L"/var/lib/custodex") : root) + L"/ProgramData";
}

std::filesystem::path FileSystemPath(const std::wstring& path) { return std::filesystem::path(ToUtf8(path)); }

std::wstring WidePath(const std::filesystem::path& path) { return FromUtf8(path.string()); }

}  // namespace xplat
