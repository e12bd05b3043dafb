#pragma once
// Whether a library of a given file name is loaded in the calling process:
// GetModuleHandleW on Windows; on Linux a look through the shared objects
// loaded in the process, comparing the file-name part of each path.

#include <cstdint>
#include <string>

namespace xplat {

// The module's handle as a number, 0 when no module of that file name is loaded.
std::uintptr_t LoadedModuleHandle(const std::wstring& fileName);

}  // namespace xplat
