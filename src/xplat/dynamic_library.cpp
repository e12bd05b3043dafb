#include "xplat/dynamic_library.h"

namespace xplat {

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Free();
    handle = other.handle;
    other.handle = nullptr;
  }
  return *this;
}

}  // namespace xplat
