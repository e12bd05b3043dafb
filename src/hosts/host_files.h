#pragma once
// Where a host's copy of the host executable lives, and which names may
// name one.

#include <string>

namespace zav::custody {

// False for a name that would put its copy outside the program folder or
// that a file system cannot hold: path separators, a drive colon, "..",
// the characters <>:"|?*, control characters, a trailing dot or blank.
bool NamesHostFile(const std::wstring& hostName);

// The program folder, the separator, "QVH-", the host name, ".exe".
std::wstring HostImagePath(const std::wstring& hostName);
// The program folder, the separator, "qvhost.exe".
std::wstring SourceImagePath();

// The name whose copy is the host executable itself, in any letter case.
bool IsProtectedHostName(const std::wstring& hostName);

}  // namespace zav::custody
