#pragma once
// Where a host's copy of the host executable lives, and which names may
// name one.

#include <string>

namespace zav::custody {

// False for a name that would put its copy outside the program folder, that
// a file system cannot hold, or that the unquoted command line cannot carry
// to the host whole: the empty name, path separators, a drive colon, "..",
// the characters <>:"|?*, control characters, a leading blank, two blanks in
// a row, a trailing dot or blank, and names whose copy "QVH-<name>.exe" is
// longer than a file name may be.
bool NamesHostFile(const std::wstring& hostName);

// The program folder, the separator, "QVH-", the host name, ".exe".
std::wstring HostImagePath(const std::wstring& programFolder, const std::wstring& hostName);
// The program folder, the separator, "qvhost.exe".
std::wstring SourceImagePath(const std::wstring& programFolder);

// The name whose copy is the host executable itself, in any letter case.
bool IsProtectedHostName(const std::wstring& hostName);

}  // namespace zav::custody
