#include "xplat/loaded_module.h"

#include <windows.h>

namespace xplat {

std::uintptr_t LoadedModuleHandle(const std::wstring& fileName) {
  if (fileName.empty()) return 0;
  return reinterpret_cast<std::uintptr_t>(::GetModuleHandleW(fileName.c_str()));
}

}  // namespace xplat
