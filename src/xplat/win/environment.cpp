#include "xplat/environment.h"

#include <windows.h>

#include "xplat/process.h"

namespace xplat {

std::wstring ReadEnvironment(const std::wstring& name) {
  DWORD needed = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (needed == 0) return {};
  std::wstring value(needed, L'\0');
  DWORD length = ::GetEnvironmentVariableW(name.c_str(), value.data(), needed);
  value.resize(length < needed ? length : 0);
  return value;
}

bool WriteEnvironment(const std::wstring& name, const std::wstring& value) {
  // Both the process block and the C run-time's copy, which getenv reads.
  return ::SetEnvironmentVariableW(name.c_str(), value.c_str()) != FALSE &&
         ::_wputenv_s(name.c_str(), value.c_str()) == 0;
}

std::vector<std::wstring> ProgramArguments(int, char**) { return SplitCommandLine(::GetCommandLineW()); }

}  // namespace xplat
