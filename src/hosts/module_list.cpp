#include "config/xml_file.h"
#include "config/xml_file_cache.h"
#include "hosts/custodex.h"
#include "hosts/module_list_index.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

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

// Whether the entry's module file is present beside the program.
bool HasModuleFile(CLogger& logger, const ModuleEntry& entry) {
  if (!NamesModuleFile(entry.fileName)) {
    logger.LogMsg(log_level::kError, L"CheckHostModulesFromConfig: file '%ws' names no module file",
                  entry.filePath.c_str());
    return false;
  }
  const std::wstring moduleFile = ModuleFileBesideProgram(entry.fileName);
  logger.LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: File path and name is %ws", moduleFile.c_str());
  return xplat::IsRegularFile(moduleFile);
}

// An entry of the record's host: its values go to the record, whether or
// not its module file is present, and the entry decides when it is.
bool TakeHostModule(CLogger& logger, const ModuleEntry& entry, HostRecord& record) {
  CopyModuleFields(entry, record);
  return HasModuleFile(logger, entry);
}

// The first complete entry of the record's host whose file is present
// decides; every entry on the way is logged.
bool ScanForHostModule(CLogger& logger, const pugi::xml_node& section, HostRecord& record) {
  for (const pugi::xml_node& node : section.children()) {
    ModuleEntry entry;
    if (!ReadModuleEntry(node, entry, [&](const wchar_t* line) { logger.LogMsg(log_level::kError, line); })) continue;
    logger.LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: %ws, config:host='%ws' qvhost:host='%ws'",
                  entry.fileName.c_str(), entry.host.c_str(), record.hostName.c_str());
    if (entry.host == record.hostName && TakeHostModule(logger, entry, record)) return true;
  }
  return false;
}

}  // namespace

// The same entry decides either way; the index spares the scan only when the
// logger drops every line the scan would write.
bool Custodex::FindHostModule(const std::shared_ptr<const XmlFile>& file, const pugi::xml_node& section,
                              HostRecord& record) {
  const bool unread =
      logger->IsFiltered(log_level::kDiagnostic, nullptr) && logger->IsFiltered(log_level::kError, nullptr);
  if (!unread) return ScanForHostModule(*logger, section, record);
  for (const ModuleEntry& entry : moduleIndex.EntriesOf(file, section, record.hostName)) {
    if (TakeHostModule(*logger, entry, record)) return true;
  }
  return false;
}

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
  std::shared_ptr<const XmlFile> loaded;
  {
    const AgentConfig current;
    loaded = SharedXmlFiles().Load(current.GetConfigFilePath());
    LogRefusal(current.GetConfigFilePath(), loaded->refusal);
  }
  const XmlFile& file = *loaded;
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
    found = FindHostModule(loaded, section, record);
  } else {
    logger->LogMsg(log_level::kError, L"No zavmodules found in configuration file.");
  }
  logger->LogMsg(log_level::kDiagnostic, L"CheckHostModulesFromConfig: Host %ws was %wsfound", record.hostName.c_str(),
                 found ? L"" : L"not ");
  logger->LogMsg(log_level::kTrace, L"LoadHostModulesFromConfig Exit");
  return found;
}

}  // namespace zav::custody
