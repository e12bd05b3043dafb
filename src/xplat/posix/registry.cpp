// The Linux registry: one folder per key under a machine root, one file per
// value. The root comes from CUSTODEX_REGISTRY_ROOT, else
// /var/lib/custodex/registry; HKEY_LOCAL_MACHINE is its folder "HKLM". Key and
// value names are matched without regard to ASCII case, as Windows does, by
// storing them lower-cased and escaped. A value file holds the type as four
// little-endian bytes, then the data exactly as written. Writes go to a
// temporary file that is then renamed over the value, so readers see either
// the old value or the new one.

#include "xplat/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/registry_store.h"
#include "xplat/posix/regular_file.h"
#include "xplat/text.h"

namespace fs = std::filesystem;

namespace xplat {

// The key's folder stays open: a value is then found by its name alone,
// however deep the key lies.
struct RegistryKey::Impl {
  fs::path folder;
  FileDescriptor folderFd;
  bool writable = false;
};

namespace {

constexpr ErrorCode kErrorWriteFault = 29;
constexpr std::size_t kTypeBytes = 4;
constexpr ErrorCode kErrorDiskFull = 112;

fs::path MachineRoot() {
  const std::string root = RegistryRootSetting();
  return fs::path(root.empty() ? "/var/lib/custodex/registry" : root) / "HKLM";
}

std::string EscapeName(const std::wstring& name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : ToUtf8(name)) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (plain) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += hex[c >> 4];
      escaped += hex[c & 0xF];
    }
  }
  return escaped;
}

}  // namespace

std::string RegistryRootSetting() {
  const char* root = std::getenv("CUSTODEX_REGISTRY_ROOT");
  return root ? root : "";
}

fs::path KeyFolder(const std::wstring& path) {
  fs::path folder = MachineRoot();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) folder /= EscapeName(path.substr(start, end - start));
    start = end + 1;
  }
  return folder;
}

namespace {

std::string ValueFileName(const std::wstring& name) { return "=" + EscapeName(name); }

fs::path ValueFile(const fs::path& folder, const std::wstring& name) { return folder / ValueFileName(name); }

ErrorCode FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorWriteFault;
  }
}

ErrorCode WriteAtomically(const fs::path& target, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  fs::path temporary =
      target.parent_path() / (".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1)));
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return FromErrno(errno);
  std::size_t written = 0;
  int error = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error == 0 ? kErrorSuccess : FromErrno(error);
}

enum class ValueRead { Read, Missing, TooLarge, Corrupt, Failed };

// Close-on-exec, so a value being read is never inherited by a child. Only
// a regular file is a value, and no more of it is read than `limit`: a
// value file that is a FIFO, a device or huge can neither block nor flood
// the reader. What can be read is kept.
ValueRead ReadValueFile(const RegistryKey::Impl& key, const std::wstring& name, std::size_t limit,
                        std::string& content) {
  FileDescriptor fd;
  struct stat status {};
  switch (OpenRegularFileAt(key.folderFd.Get(), ValueFileName(name), fd, status)) {
    case RegularFileStatus::Opened:
      break;
    case RegularFileStatus::NotRegularFile:
      std::printf("registry: %s is not a regular file; the value reads as missing\n",
                  ValueFile(key.folder, name).c_str());
      std::fflush(stdout);
      return ValueRead::Corrupt;
    default:
      return errno == ENOENT || errno == ENOTDIR ? ValueRead::Missing : ValueRead::Failed;
  }
  if (static_cast<std::uintmax_t>(status.st_size) > limit) return ValueRead::TooLarge;
  ReadUpTo(fd.Get(), limit, content, static_cast<std::size_t>(status.st_size));
  return content.size() > limit ? ValueRead::TooLarge : ValueRead::Read;
}

}  // namespace

RegistryKey RegistryKey::Open(const std::wstring& path, RegistryAccess access, ErrorCode* error) {
  RegistryKey result;
  fs::path folder = KeyFolder(path);
  FileDescriptor folderFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ErrorCode status = kErrorSuccess;
  if (!folderFd) {
    status = FromErrno(errno);
  } else if (access == RegistryAccess::AllAccess && ::access(folder.c_str(), W_OK) != 0) {
    status = kErrorAccessDenied;
  } else {
    result.impl.reset(new Impl{folder, std::move(folderFd), access == RegistryAccess::AllAccess});
  }
  if (error) *error = status;
  return result;
}

RegistryKey RegistryKey::Create(const std::wstring& path, ErrorCode* error) {
  fs::path folder = KeyFolder(path);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    if (error) *error = FromErrno(ec.value());
    return RegistryKey();
  }
  return Open(path, RegistryAccess::AllAccess, error);
}

ErrorCode RegistryKey::DeleteTree(const std::wstring& path) {
  std::error_code ec;
  auto removed = fs::remove_all(KeyFolder(path), ec);
  if (ec) return FromErrno(ec.value());
  return removed == 0 ? kErrorFileNotFound : kErrorSuccess;
}

ErrorCode RegistryKey::Query(const std::wstring& name, std::size_t capacityBytes, RegistryValue& value) const {
  if (!impl) return kErrorInvalidData;
  std::string content;
  switch (ReadValueFile(*impl, name, kTypeBytes + capacityBytes, content)) {
    case ValueRead::Read:
      break;
    case ValueRead::TooLarge:
      return kErrorMoreData;
    case ValueRead::Missing:
      return kErrorFileNotFound;
    case ValueRead::Failed:
      return FromErrno(errno);
    default:
      return kErrorInvalidData;
  }
  if (content.size() < kTypeBytes) return kErrorInvalidData;
  value.type = 0;
  for (int i = 3; i >= 0; --i) value.type = (value.type << 8) | static_cast<unsigned char>(content[i]);
  value.bytes.assign(content.begin() + kTypeBytes, content.end());
  return kErrorSuccess;
}

bool RegistryKey::HasValue(const std::wstring& name) const {
  struct stat status {};
  return impl && ::fstatat(impl->folderFd.Get(), ValueFileName(name).c_str(), &status, 0) == 0;
}

ErrorCode RegistryKey::Set(const std::wstring& name, const RegistryValue& value) {
  if (!impl) return kErrorInvalidData;
  if (!impl->writable) return kErrorAccessDenied;
  std::string content(kTypeBytes, '\0');
  for (int i = 0; i < 4; ++i) content[i] = static_cast<char>((value.type >> (8 * i)) & 0xFF);
  content.append(value.bytes.begin(), value.bytes.end());
  // Agent components republish unchanged values often; each durable write
  // costs a flush to disk, so a value already stored as given is left alone.
  std::string stored;
  if (ReadValueFile(*impl, name, content.size(), stored) == ValueRead::Read && stored == content) {
    return kErrorSuccess;
  }
  return WriteAtomically(ValueFile(impl->folder, name), content);
}

ErrorCode RegistryKey::Delete(const std::wstring& name) {
  if (!impl) return kErrorInvalidData;
  if (!impl->writable) return kErrorAccessDenied;
  return ::unlinkat(impl->folderFd.Get(), ValueFileName(name).c_str(), 0) == 0 ? kErrorSuccess : FromErrno(errno);
}

void RegistryKey::CloseImpl::operator()(Impl* impl) const { delete impl; }

}  // namespace xplat
