#include "xplat/file_system.h"

#include <io.h>
#include <shlobj.h>
#include <windows.h>

#include <boost/filesystem/operations.hpp>
#include <cstdint>

#include "xplat/win/handle.h"

// windows.h names its A/W pairs by macro; these names are the module's own.
#undef DeleteFile
#undef CopyFile

namespace xplat {

bool DeleteFile(const std::wstring& path) { return ::DeleteFileW(path.c_str()) != FALSE; }

bool CopyFile(const std::wstring& source, const std::wstring& target) {
  return ::CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

bool PathExists(const std::wstring& path) {
  boost::system::error_code error;
  return boost::filesystem::exists(boost::filesystem::path(path), error) && !error;
}

int Unlink(const std::wstring& path) { return ::_wunlink(path.c_str()); }

std::size_t FileNameLength(const std::wstring& name) { return name.size(); }

bool KeepsFileName(const std::wstring&) { return true; }

bool FitsInPath(const std::wstring& path) { return path.size() < MAX_PATH; }

bool IsRegularFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

namespace {

constexpr std::int64_t kUnixEpochIn100Ns = 116444736000000000;

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

bool VersionOf(HANDLE file, FileVersion& version) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file, &information)) return false;
  version.volume = information.dwVolumeSerialNumber;
  version.index = Join(information.nFileIndexHigh, information.nFileIndexLow);
  version.size = Join(information.nFileSizeHigh, information.nFileSizeLow);
  const auto written = static_cast<std::int64_t>(
      Join(information.ftLastWriteTime.dwHighDateTime, information.ftLastWriteTime.dwLowDateTime));
  version.modifiedNs = (written - kUnixEpochIn100Ns) * 100;
  return true;
}

}  // namespace

// Opened for its attributes only, with every kind of sharing, so a writer or
// a rename of the file is never in the way.
std::optional<FileVersion> VersionOfFile(const std::wstring& path) {
  const Handle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return std::nullopt;
  }
  FileVersion version;
  if (!VersionOf(file.Get(), version)) return std::nullopt;
  return version;
}

std::optional<std::string> ReadSharedFile(const std::wstring& path, std::size_t maxBytes, ReadRefusal* refusal,
                                          FileVersion* version) {
  ReadRefusal ignored = ReadRefusal::None;
  ReadRefusal& why = refusal ? *refusal : ignored;
  why = ReadRefusal::None;
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
    why = ReadRefusal::NotRegularFile;
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) return std::nullopt;
  if (version && !VersionOf(file.Get(), *version)) return std::nullopt;
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes || content.size() > maxBytes) {
      why = ReadRefusal::TooLarge;
      ::SetLastError(ERROR_FILE_TOO_LARGE);
      return std::nullopt;
    }
    DWORD got = 0;
    if (!::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
    if (got == 0) return content;
    content.append(buffer, got);
  }
}

std::wstring CommonAppDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0 /* SHGFP_TYPE_CURRENT */, folder))) return {};
  return folder;
}

std::filesystem::path FileSystemPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring WidePath(const std::filesystem::path& path) { return path.wstring(); }

}  // namespace xplat
