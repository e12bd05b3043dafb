#include "hosts/module_list_index.h"

namespace zav::custody {
namespace {

// What follows the last backslash or slash; a value without either names
// the module file itself.
std::wstring FileNameOf(const std::wstring& filePath) {
  const std::size_t separator = filePath.find_last_of(L"\\/");
  return separator == std::wstring::npos ? filePath : filePath.substr(separator + 1);
}

}  // namespace

bool ReadModuleEntry(const pugi::xml_node& node, ModuleEntry& entry,
                     const std::function<void(const wchar_t* line)>& missing) {
  bool complete = true;
  auto read = [&](const wchar_t* attributeName, std::wstring& value, bool required, const wchar_t* missingLine) {
    const pugi::xml_attribute attribute = node.attribute(attributeName);
    if (attribute) {
      value = attribute.value();
      return;
    }
    if (missing) missing(missingLine);
    complete = complete && !required;
  };
  read(L"host", entry.host, false, L"LoadHostModulesFromConfig: No host name");
  read(L"name", entry.moduleName, true, L"LoadHostModulesFromConfig: Error retrieving module name");
  read(L"description", entry.description, false, L"LoadHostModulesFromConfig: Error retrieving description");
  read(L"version", entry.version, true, L"LoadHostModulesFromConfig: Error retrieving version");
  read(L"file", entry.filePath, true, L"LoadHostModulesFromConfig: Error retrieving file");
  read(L"hash", entry.hash, true, L"LoadHostModulesFromConfig: Error retrieving hash");
  entry.fileName = FileNameOf(entry.filePath);
  return complete;
}

const std::vector<ModuleEntry>& ModuleListIndex::EntriesOf(const std::shared_ptr<const XmlFile>& file,
                                                           const pugi::xml_node& section, const std::wstring& host) {
  if (file != indexed) {
    entries.clear();
    for (const pugi::xml_node& node : section.children()) {
      ModuleEntry entry;
      if (ReadModuleEntry(node, entry)) entries[entry.host].push_back(std::move(entry));
    }
    indexed = file;
  }
  const auto found = entries.find(host);
  return found == entries.end() ? none : found->second;
}

}  // namespace zav::custody
