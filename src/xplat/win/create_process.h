#pragma once
// The one CreateProcessW call of the platform layer, shared by StartProgram
// and the start of a program in a process tree.

#include <windows.h>

#include <string>

#include "xplat/process.h"

namespace xplat {

bool CreateProgramProcess(const std::wstring& image, const std::wstring& arguments, DWORD creationFlags,
                          PROCESS_INFORMATION& info);
// Hands the process's handles over to `started`, which owns them from now on.
void TakeStartedProcess(const PROCESS_INFORMATION& info, StartedProcess& started);

}  // namespace xplat
