#pragma once
// Libraries loaded at run time. A bare name ("Hubrelle") gets the platform's
// file name: "Hubrelle.dll" on Windows, "libHubrelle.so" on Linux; a name
// with an extension is used as it is.

#include <string>

namespace xplat {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Free(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Searches as the platform does: the program's folder first, then the
  // library folder set by SetLibraryDirectory, then the system's places.
  // Failure leaves the library unloaded and sets the last error.
  static DynamicLibrary Load(const std::wstring& name);

  bool IsLoaded() const { return handle != nullptr; }
  void* Symbol(const char* exportName) const;
  // The file the library was loaded from; empty when none is loaded.
  std::wstring FilePath() const;
  template <typename Function>
  Function Find(const char* exportName) const {
    return reinterpret_cast<Function>(Symbol(exportName));
  }
  void Free();

 private:
  void* handle = nullptr;
};

// The file name that Load gives a bare name on this platform.
std::wstring LibraryFileName(const std::wstring& name);

// Adds a folder to the library search (null restores the default search).
bool SetLibraryDirectory(const wchar_t* folder);

// Full path of the running program.
std::wstring ExecutablePath();

}  // namespace xplat
