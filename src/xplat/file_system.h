#pragma once
// Files as the module uses them. Failures set the last error (Windows codes
// on Windows, errno values on Linux) so LogLastError can name the cause.
// Everything the module opens is close-on-exec on Linux, so a host process
// inherits nothing by accident.

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
// The whole file, opened with shared read and write access (another process
// may be rewriting it). Empty optional, last error set, when it cannot be read.
std::optional<std::string> ReadSharedFile(const std::wstring& path);

// The part of a path before its last separator; the whole path when it has none.
std::wstring FolderOf(const std::wstring& path);

// The machine's common application-data folder: SHGetFolderPathW with
// CSIDL_COMMON_APPDATA on Windows; on Linux "ProgramData" under the machine
// root ($CUSTODEX_MACHINE_ROOT, default /var/lib/custodex). Empty when the
// system cannot tell.
std::wstring CommonAppDataFolder();

}  // namespace xplat
