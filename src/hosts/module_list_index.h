#pragma once
// The module list's complete entries by host, in document order. The scan of
// the list logs a line for every entry it passes, so a policy of N hosts
// costs N squared lines; when nobody reads those lines, the index finds the
// same entry without the scan.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/xml_file.h"

namespace zav::custody {

// One child of the module list, with the attributes it carries.
struct ModuleEntry {
  std::wstring host;
  std::wstring moduleName;
  std::wstring description;
  std::wstring version;
  std::wstring filePath;
  std::wstring fileName;
  std::wstring hash;
};

// Reads one entry's attributes in the list's order, handing `missing` the
// error line of each that is absent; false when a required one is missing.
bool ReadModuleEntry(const pugi::xml_node& node, ModuleEntry& entry,
                     const std::function<void(const wchar_t* line)>& missing = nullptr);

class ModuleListIndex {
 public:
  // The complete entries naming the host in the section of this parse of
  // the list; the index follows the parse it was last asked about.
  const std::vector<ModuleEntry>& EntriesOf(const std::shared_ptr<const XmlFile>& file, const pugi::xml_node& section,
                                            const std::wstring& host);

 private:
  std::shared_ptr<const XmlFile> indexed;
  std::unordered_map<std::wstring, std::vector<ModuleEntry>> entries;
  const std::vector<ModuleEntry> none{};
};

}  // namespace zav::custody
