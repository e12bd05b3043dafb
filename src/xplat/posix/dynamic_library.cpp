#include "xplat/dynamic_library.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "xplat/text.h"

namespace xplat {
namespace {

std::mutex directoryMutex;
std::wstring libraryDirectory;  // empty: none set

std::wstring FolderOf(const std::wstring& path) {
  auto slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool Exists(const std::wstring& path) { return ::access(ToUtf8(path).c_str(), F_OK) == 0; }

std::vector<std::wstring> Candidates(const std::wstring& fileName) {
  if (fileName.find(L'/') != std::wstring::npos) return {fileName};
  std::vector<std::wstring> found;
  std::wstring programFolder = FolderOf(ExecutablePath());
  if (!programFolder.empty() && Exists(programFolder + L"/" + fileName))
    found.push_back(programFolder + L"/" + fileName);
  {
    std::lock_guard<std::mutex> lock(directoryMutex);
    if (!libraryDirectory.empty() && Exists(libraryDirectory + L"/" + fileName)) {
      found.push_back(libraryDirectory + L"/" + fileName);
    }
  }
  found.push_back(fileName);  // the dynamic linker's own search
  return found;
}

}  // namespace

DynamicLibrary DynamicLibrary::Load(const std::wstring& name) {
  DynamicLibrary library;
  for (const std::wstring& candidate : Candidates(LibraryFileName(name))) {
    library.handle = ::dlopen(ToUtf8(candidate).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle) return library;
  }
  errno = ENOENT;
  return library;
}

void* DynamicLibrary::Symbol(const char* exportName) const { return handle ? ::dlsym(handle, exportName) : nullptr; }

std::wstring DynamicLibrary::FilePath() const {
  link_map* map = nullptr;
  if (!handle || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
  return FromUtf8(map->l_name);
}

void DynamicLibrary::Free() {
  if (handle) ::dlclose(handle);
  handle = nullptr;
}

std::wstring LibraryFileName(const std::wstring& name) {
  if (name.find(L'/') != std::wstring::npos || name.find(L'.') != std::wstring::npos) return name;
  return L"lib" + name + L".so";
}

bool SetLibraryDirectory(const wchar_t* folder) {
  std::lock_guard<std::mutex> lock(directoryMutex);
  libraryDirectory = folder ? folder : L"";
  return true;
}

namespace {

std::wstring ReadExecutablePath() {
  // readlink cuts the path to the buffer without saying so: a full buffer may
  // hold only part of it.
  for (std::vector<char> buffer(4096);; buffer.resize(buffer.size() * 2)) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return FromUtf8(std::string(buffer.data(), static_cast<std::size_t>(length)));
    }
  }
}

}  // namespace

// The path the program was started from, as Windows keeps it for a loaded
// image: learnt once, so a later rename of the file does not change it.
std::wstring ExecutablePath() {
  static const std::wstring path = ReadExecutablePath();
  return path;
}

}  // namespace xplat
