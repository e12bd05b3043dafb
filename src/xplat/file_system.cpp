#include "xplat/file_system.h"

namespace xplat {

std::wstring FolderOf(const std::wstring& path) {
#if defined(_WIN32)
  const std::size_t separator = path.find_last_of(L"\\/");
#else
  const std::size_t separator = path.rfind(L'/');
#endif
  return separator == std::wstring::npos ? path : path.substr(0, separator);
}

}  // namespace xplat
