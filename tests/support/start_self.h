#pragma once
// For the test programs that start workers: runs this program again with
// the given arguments, sharing none of its handles, and forgets it.

#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

inline bool StartSelf(const std::vector<std::string>& arguments) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\"";
  for (const std::string& argument : arguments) line += L" " + std::wstring(argument.begin(), argument.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return true;
}
#else
#include <spawn.h>
#include <unistd.h>

inline bool StartSelf(std::vector<std::string> arguments) {
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
  std::vector<char*> argv{self};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return ::posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ) == 0;
}
#endif
