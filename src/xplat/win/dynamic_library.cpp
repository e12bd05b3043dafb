#include "xplat/dynamic_library.h"

#include <windows.h>

namespace xplat {

DynamicLibrary DynamicLibrary::Load(const std::wstring& name) {
  DynamicLibrary library;
  library.handle = ::LoadLibraryW(name.c_str());
  return library;
}

void* DynamicLibrary::Symbol(const char* exportName) const {
  if (!handle) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle), exportName));
}

void DynamicLibrary::Free() {
  if (handle) ::FreeLibrary(static_cast<HMODULE>(handle));
  handle = nullptr;
}

std::wstring LibraryFileName(const std::wstring& name) {
  return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

bool SetLibraryDirectory(const wchar_t* folder) { return ::SetDllDirectoryW(folder) != FALSE; }

namespace {

std::wstring ModuleFileName(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::wstring DynamicLibrary::FilePath() const { return handle ? ModuleFileName(static_cast<HMODULE>(handle)) : L""; }

std::wstring ExecutablePath() { return ModuleFileName(nullptr); }

}  // namespace xplat
