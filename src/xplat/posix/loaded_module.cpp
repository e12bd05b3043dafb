#include "xplat/loaded_module.h"

#include <link.h>

#include <cstring>

#include "xplat/text.h"

namespace xplat {
namespace {

struct ModuleSearch {
  std::string fileName;
  std::uintptr_t found = 0;
};

int CompareFileName(dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  const char* path = info->dlpi_name;
  if (path == nullptr || *path == '\0') return 0;  // the main program
  const char* slash = std::strrchr(path, '/');
  if (search->fileName != (slash ? slash + 1 : path)) return 0;
  search->found = info->dlpi_addr != 0 ? info->dlpi_addr : 1;
  return 1;
}

}  // namespace

std::uintptr_t LoadedModuleHandle(const std::wstring& fileName) {
  ModuleSearch search{ToUtf8(fileName)};
  if (search.fileName.empty()) return 0;
  ::dl_iterate_phdr(CompareFileName, &search);
  return search.found;
}

}  // namespace xplat
