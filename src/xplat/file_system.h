#pragma once
// Files as the module uses them. Failures set the last error (Windows codes
// on Windows, errno values on Linux) so LogLastError can name the cause.
// Everything the module opens is close-on-exec on Linux, so a host process
// inherits nothing by accident.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace xplat {

#if defined(_WIN32)
// windows.h names its A/W pairs by macro; these two names are the module's own.
#undef DeleteFile
#undef CopyFile
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// DeleteFileW: false, last error set, when the file is missing or cannot go.
bool DeleteFile(const std::wstring& path);
// CopyFileW with fail-if-exists off: the copy replaces the target, and on
// Linux keeps the source's permission bits (a copied program stays runnable).
bool CopyFile(const std::wstring& source, const std::wstring& target);
// True for an existing file or folder. A test that fails for another reason
// than absence (access denied, a name too long) counts as absent.
bool PathExists(const std::wstring& path);
// The C run-time's _wunlink: 0 on success, -1 on failure.
int Unlink(const std::wstring& path);
// True for an existing regular file: not a folder, FIFO or device.
bool IsRegularFile(const std::wstring& path);

// What tells one version of a file from the next without reading it: which
// file it is (device and inode; volume serial and file index), its size and
// its last write time, in nanoseconds since 1970 as the file system keeps it.
struct FileVersion {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;

  bool operator==(const FileVersion& other) const {
    return volume == other.volume && index == other.index && size == other.size && modifiedNs == other.modifiedNs;
  }
  bool operator!=(const FileVersion& other) const { return !(*this == other); }
};

// The version of a regular file, never opening or waiting on anything else;
// empty when the path names no regular file or cannot be examined.
std::optional<FileVersion> VersionOfFile(const std::wstring& path);

// Why ReadSharedFile read nothing, beyond the system's own errors.
enum class ReadRefusal { None, NotRegularFile, TooLarge };

// The whole of a regular file, opened with shared read and write access
// (another process may be rewriting it) and never waited on: a FIFO, device
// or folder is refused unread, and so is a file of more than maxBytes. Empty
// optional when nothing was read, with the last error set and `refusal`
// (when given) saying whether the file was refused for what it is.
// `version` (when given) receives the version of the file that was read.
std::optional<std::string> ReadSharedFile(const std::wstring& path, std::size_t maxBytes,
                                          ReadRefusal* refusal = nullptr, FileVersion* version = nullptr);

// The longest name a folder entry may have: 255 UTF-16 units on Windows,
// 255 bytes (of UTF-8) on Linux.
constexpr std::size_t kMaxFileNameLength = 255;
// A name's length in the units of that limit.
std::size_t FileNameLength(const std::wstring& name);
// Whether the system stores the name as it is: on Linux, where names are
// UTF-8, a lone surrogate would become U+FFFD and name another's file.
bool KeepsFileName(const std::wstring& name);
// The longest path a file can be created and run from: 259 UTF-16 units on
// Windows (MAX_PATH with its terminator), 4095 bytes on Linux (PATH_MAX).
bool FitsInPath(const std::wstring& path);

// The part of a path before its last separator; the whole path when it has none.
std::wstring FolderOf(const std::wstring& path);

// A wide path as the standard library's file system takes it, and back,
// never through the C locale's narrow conversion, which fails for any
// character outside ASCII: UTF-8 on Linux, the wide path itself on Windows.
std::filesystem::path FileSystemPath(const std::wstring& path);
std::wstring WidePath(const std::filesystem::path& path);

// The machine's common application-data folder: SHGetFolderPathW with
// CSIDL_COMMON_APPDATA on Windows; on Linux "ProgramData" under the machine
// root ($CUSTODEX_MACHINE_ROOT, default /var/lib/custodex). Empty when the
// system cannot tell.
std::wstring CommonAppDataFolder();

}  // namespace xplat
