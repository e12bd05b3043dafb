#include "xplat/file_system.h"

#include <io.h>
#include <shlobj.h>
#include <windows.h>

#include <boost/filesystem/operations.hpp>

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

std::optional<std::string> ReadSharedFile(const std::wstring& path) {
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string content;
  char buffer[1 << 16];
  for (;;) {
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

}  // namespace xplat
