#include "config/agent_config.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <optional>

#include "config/agent_keys.h"
#include "config/name_equality.h"
#include "config/xml_file.h"
#include "config/xml_file_cache.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/registry.h"
#include "xplat/registry_watch.h"

namespace zav::custody {
namespace {

constexpr std::size_t kAgentValueChars = 1024;
constexpr std::size_t kExecutePathChars = 260;

// A text value, or empty; `readError` receives the system's error when the
// key or value could not be read, as opposed to being missing or unsuitable.
std::wstring ReadText(const wchar_t* keyPath, const std::wstring& valueName, std::size_t capacityChars,
                      xplat::ErrorCode* readError = nullptr) {
  xplat::ErrorCode result = xplat::kErrorSuccess;
  const xplat::RegistryKey key = xplat::RegistryKey::Open(keyPath, xplat::RegistryAccess::Read, &result);
  std::optional<std::wstring> text;
  if (key.IsOpen()) text = xplat::ReadRegistryText(key, valueName, capacityChars, &result);
  if (readError && xplat::IsReadFailure(result)) *readError = xplat::LastError();
  return text.value_or(L"");
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  folder += xplat::kPathSeparator;
  return folder + name;
}

std::wstring AgentDataFolder(const std::wstring& commonAppData, const std::wstring& oemName,
                             const std::wstring& agentName) {
  return Join(Join(commonAppData, oemName.empty() ? L"Corvane" : oemName), agentName.empty() ? L"DEDedad" : agentName);
}

std::wstring PersistFolderOf(const std::wstring& agentDataFolder) {
  return Join(Join(agentDataFolder, L"data"), L"persist");
}

void ReplaceWithAttribute(const pugi::xml_node& node, const wchar_t* name, std::wstring& member) {
  if (const pugi::xml_attribute attribute = node.attribute(name)) member = attribute.value();
}

// Publishes the messaging-server values. When ZAVConfig.xml could not be
// read they are only the defaults: then only missing values are filled in,
// so a file being rewritten or locked never wipes out what the agent's
// other components rely on.
class ServerValuePublisher {
 public:
  ServerValuePublisher(xplat::RegistryKey& key, bool onlyMissing) : key(key), onlyMissing(onlyMissing) {}

  void Set(const wchar_t* name, const std::wstring& text) {
    if (onlyMissing && key.HasValue(name)) return;
    key.Set(name, xplat::StringValue(text));
  }
  // Publishes a text, or removes the value when there is none to publish.
  void SetOrDelete(const wchar_t* name, const std::wstring& text) {
    if (!text.empty()) {
      Set(name, text);
    } else if (!onlyMissing) {
      key.Delete(name);
    }
  }

 private:
  xplat::RegistryKey& key;
  bool onlyMissing;
};

// What a configuration publishes, and how (after an unreadable file only
// what is missing).
struct Publication {
  bool onlyMissing = false;
  std::array<std::wstring, 6> texts;  // address, port, proxy address, port and user, SSL
  std::wstring executePath;

  bool operator==(const Publication& other) const {
    return onlyMissing == other.onlyMissing && texts == other.texts && executePath == other.executePath;
  }
};

// What the last configuration read from the agent's key and published in
// its Config key. A configuration is made for every host of a policy; while
// neither key has changed since, reading and publishing again would find
// and leave everything as it is, so they are skipped.
struct RegistryMemory {
  std::mutex mutex;
  xplat::RegistryKeyWatch agentKey;
  xplat::RegistryKeyWatch configKey;
  std::optional<std::array<std::wstring, 3>> agentValues;  // OEMName, AgentName, Version
  std::optional<Publication> published;
};

RegistryMemory& Memory() {
  static RegistryMemory memory;
  return memory;
}

std::array<std::wstring, 3> AgentValues() {
  RegistryMemory& memory = Memory();
  std::lock_guard<std::mutex> lock(memory.mutex);
  if (memory.agentValues && memory.agentKey.Unchanged(agent_keys::kAgent)) return *memory.agentValues;
  memory.published.reset();  // the Config key may have gone and come back with the agent's key
  const bool watched = memory.agentKey.Watch(agent_keys::kAgent);
  const std::array<std::wstring, 3> values{AgentConfig::ReadAgentValue(L"OEMName"),
                                           AgentConfig::ReadAgentValue(L"AgentName"),
                                           AgentConfig::ReadAgentValue(L"Version")};
  if (watched) {
    memory.agentValues = values;
  } else {
    memory.agentValues.reset();
  }
  return values;
}

}  // namespace

AgentConfig::AgentConfig() {
  LocateFolders();
  LoadServerSettings();
  WriteRegistrySettings();
}

void AgentConfig::LocateFolders() {
  commonAppDataFolder = xplat::CommonAppDataFolder();
  const std::array<std::wstring, 3> values = AgentValues();
  oemName = values[0];
  agentName = values[1];
  agentVersion = values[2];
  agentDataFolder = custody::AgentDataFolder(commonAppDataFolder, oemName, agentName);
  cacheFolder = Join(Join(agentDataFolder, L"data"), L"cache");
  persistFolder = PersistFolderOf(agentDataFolder);
  configFilePath = Join(persistFolder, L"ZAVConfig.xml");
}

bool AgentConfig::LoadServerSettings() {
  const std::shared_ptr<const XmlFile> loaded = SharedXmlFiles().Load(configFilePath);
  const XmlFile& file = *loaded;
  fileUnreadable = !file.result;
  if (!file.result) {
    const TextPosition at = PositionOfOffset(file.text, file.result.offset);
    std::printf("Error in XML file. Error is %s row %d and col %d\n", file.result.description(), at.line, at.column);
    std::fflush(stdout);
    return true;
  }
  const pugi::xml_node server = file.document.first_element_by_path(L"configuration/server");
  if (!server) return true;
  ReplaceWithAttribute(server, L"address", serverAddress);
  ReplaceWithAttribute(server, L"port", serverPort);
  ReplaceWithAttribute(server, L"secureport", serverSecurePort);
  const pugi::xml_attribute ssl = server.attribute(L"usesssl");
  useSsl = !(ssl && EqualIgnoringCase(ssl.value(), L"false"));
  if (const pugi::xml_node proxy = server.child(L"proxy")) {
    ReplaceWithAttribute(proxy, L"address", proxyAddress);
    ReplaceWithAttribute(proxy, L"port", proxyPort);
    ReplaceWithAttribute(proxy, L"username", proxyUserName);
    ReplaceWithAttribute(proxy, L"password", proxyPassword);
  }
  return false;
}

std::uint32_t AgentConfig::WriteRegistrySettings() {
  const Publication wanted{
      fileUnreadable,
      {serverAddress, serverPort, proxyAddress, proxyPort, proxyUserName, useSsl ? L"true" : L"false"},
      xplat::FolderOf(xplat::ExecutablePath())};
  RegistryMemory& memory = Memory();
  std::lock_guard<std::mutex> lock(memory.mutex);
  if (memory.published == wanted && memory.configKey.Unchanged(agent_keys::kConfig) &&
      memory.agentKey.Unchanged(agent_keys::kAgent)) {
    return xplat::kErrorSuccess;
  }
  memory.published.reset();
  const bool watched = memory.configKey.Watch(agent_keys::kConfig);
  const std::uint32_t result = PublishServerValues();
  if (result == xplat::kErrorSuccess && watched) memory.published = wanted;
  return result;
}

std::uint32_t AgentConfig::PublishServerValues() {
  xplat::ErrorCode error = xplat::kErrorSuccess;
  xplat::RegistryKey key = xplat::RegistryKey::Open(agent_keys::kConfig, xplat::RegistryAccess::AllAccess, &error);
  if (!key.IsOpen()) return error;
  ServerValuePublisher publish(key, fileUnreadable);
  publish.Set(L"MessagingServerAddress", serverAddress);
  publish.Set(L"MessagingServerPort", serverPort);
  publish.SetOrDelete(L"MessagingServerProxyAddress", GetProxyAddress());
  publish.SetOrDelete(L"MessagingServerProxyPort", GetProxyPort());
  publish.SetOrDelete(L"MessagingServerProxyUserName", GetProxyUserName());
  publish.Set(L"MessagingServerIsSSL", useSsl ? L"true" : L"false");
  key.Set(L"ZAVExecutePath", xplat::StringValue(xplat::FolderOf(xplat::ExecutablePath())));
  return xplat::kErrorSuccess;
}

ProgramFolder AgentConfig::ReadExecutePath() {
  ProgramFolder folder;
  folder.path = ReadText(agent_keys::kConfig, L"ZAVExecutePath", kExecutePathChars, &folder.readError);
  return folder;
}

std::wstring AgentConfig::ReadAgentValue(const std::wstring& valueName) {
  return ReadText(agent_keys::kAgent, valueName, kAgentValueChars);
}

std::wstring LocateConfigFile() {
  const std::wstring agentData = AgentDataFolder(xplat::CommonAppDataFolder(), AgentConfig::ReadAgentValue(L"OEMName"),
                                                 AgentConfig::ReadAgentValue(L"AgentName"));
  return Join(PersistFolderOf(agentData), L"ZAVConfig.xml");
}

}  // namespace zav::custody
