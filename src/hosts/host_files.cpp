#include "hosts/host_files.h"

#include <cwchar>

#include "config/name_equality.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

std::wstring HostImageName(const std::wstring& hostName) { return L"QVH-" + hostName + L".exe"; }

bool HasOnlyFileNameCharacters(const std::wstring& hostName) {
  for (const wchar_t c : hostName) {
    if (c < 0x20 || c == 0x7F || std::wcschr(L"\\/:<>\"|?*", c) != nullptr) return false;
  }
  return true;
}

// The host reads its name back from the command line, where blanks separate
// arguments: a leading blank or two in a row would not come back.
bool SurvivesTheCommandLine(const std::wstring& hostName) {
  return hostName.front() != L' ' && hostName.find(L"  ") == std::wstring::npos;
}

}  // namespace

bool NamesHostFile(const std::wstring& hostName) {
  return !hostName.empty() && hostName.find(L"..") == std::wstring::npos && HasOnlyFileNameCharacters(hostName) &&
         SurvivesTheCommandLine(hostName) && hostName.back() != L'.' && hostName.back() != L' ' &&
         xplat::KeepsFileName(hostName) && xplat::FileNameLength(HostImageName(hostName)) <= xplat::kMaxFileNameLength;
}

std::wstring HostImagePath(const std::wstring& programFolder, const std::wstring& hostName) {
  return programFolder + xplat::kPathSeparator + HostImageName(hostName);
}

std::wstring SourceImagePath(const std::wstring& programFolder) {
  return programFolder + xplat::kPathSeparator + L"qvhost.exe";
}

bool IsProtectedHostName(const std::wstring& hostName) { return EqualIgnoringCase(hostName, L"qvhost"); }

}  // namespace zav::custody
