#include "config/xml_file.h"
#include "hosts/custodex.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

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

// What follows the last backslash or slash; a value without either names
// the module file itself.
std::wstring FileNameOf(const std::wstring& filePath) {
  const std::size_t separator = filePath.find_last_of(L"\\/");
  return separator == std::wstring::npos ? filePath : filePath.substr(separator + 1);
}

// "", "." and ".." name the program folder or its parent, never a module.
bool NamesModuleFile(const std::wstring& fileName) {
  return !fileName.empty() && fileName != L"." && fileName != L"..";
}

// The module's file looked for beside the running program, whatever folder
// the list names.
std::wstring ModuleFileBesideProgram(const std::wstring& fileName) {
  const std::wstring program = xplat::ExecutablePath();
  const std::wstring folder = xplat::FolderOf(program);
  return folder == program ? program : folder + xplat::kPathSeparator + fileName;
}

void CopyModuleFields(const ModuleEntry& entry, HostRecord& record) {
  record.moduleName = entry.moduleName;
  record.description = entry.description;
  record.filePath = entry.filePath;
  record.fileName = entry.fileName;
  record.version = entry.version;
  record.hash = entry.hash;
}

// Reads the six attributes, logging each that is missing; true when the
// four required ones are present.
bool ReadModuleEntry(CLogger& logger, const pugi::xml_node& node, ModuleEntry& entry) {
  bool complete = true;
  auto read = [&](const wchar_t* attributeName, std::wstring& value, bool required, const wchar_t* missingLine) {
    const pugi::xml_attribute attribute = node.attribute(attributeName);
    if (attribute) {
      value = attribute.value();
      return;
    }
    logger.LogMsg(log_level::kError, missingLine);
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

// The first complete entry of the record's host whose file is present decides.
bool FindHostModule(CLogger& logger, const pugi::xml_node& section, HostRecord& record) {
  for (const pugi::xml_node& node : section.children()) {
    ModuleEntry entry;
    if (!ReadModuleEntry(logger, node, entry)) continue;
    logger.LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: %ws, config:host='%ws' qvhost:host='%ws'",
                  entry.fileName.c_str(), entry.host.c_str(), record.hostName.c_str());
    if (entry.host != record.hostName) continue;
    CopyModuleFields(entry, record);
    if (!NamesModuleFile(entry.fileName)) {
      logger.LogMsg(log_level::kError, L"CheckHostModulesFromConfig: file '%ws' names no module file",
                    entry.filePath.c_str());
      continue;
    }
    const std::wstring moduleFile = ModuleFileBesideProgram(entry.fileName);
    logger.LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: File path and name is %ws", moduleFile.c_str());
    if (xplat::IsRegularFile(moduleFile)) return true;
  }
  return false;
}

}  // namespace

void Custodex::LogRefusal(const std::wstring& path, xplat::ReadRefusal refusal) {
  if (refusal == xplat::ReadRefusal::NotRegularFile) {
    logger->LogMsg(log_level::kError, L"LoadHostModulesFromConfig: %ws is not a regular file; it is not read",
                   path.c_str());
  } else if (refusal == xplat::ReadRefusal::TooLarge) {
    logger->LogMsg(log_level::kError, L"LoadHostModulesFromConfig: %ws is larger than %u bytes; it is not read",
                   path.c_str(), static_cast<unsigned>(kMaxXmlFileBytes));
  }
}

bool Custodex::LoadHostModulesFromConfig(HostRecord& record) {
  logger->LogMsg(log_level::kTrace, L"LoadHostModulesFromConfig Enter");
  XmlFile file;
  {
    const AgentConfig current;
    LoadXmlFile(current.GetConfigFilePath(), file);
    LogRefusal(current.GetConfigFilePath(), file.refusal);
  }
  if (!file.result) {
    logger->LogMsg(log_level::kCritical, L"Config XML file had errors, Error is %ws line %d offset %d",
                   WidenEachByte(file.result.description()).c_str(),
                   PositionOfOffset(file.text, file.result.offset).line, static_cast<int>(file.result.offset));
    return false;
  }
  logger->LogMsg(log_level::kNormal, L"Config XML file successfully loaded.");
  bool found = false;
  const pugi::xml_node section = file.document.first_element_by_path(L"configuration/zavmodules");
  if (section) {
    found = FindHostModule(*logger, section, record);
  } else {
    logger->LogMsg(log_level::kError, L"No zavmodules found in configuration file.");
  }
  logger->LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: Host %ws was %wsfound", record.hostName.c_str(),
                 found ? L"" : L"not ");
  logger->LogMsg(log_level::kTrace, L"LoadHostModulesFromConfig Exit");
  return found;
}

}  // namespace zav::custody
