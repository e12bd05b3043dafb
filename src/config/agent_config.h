#pragma once
// The agent-wide settings the module needs: the agent's identity values from
// the registry, its data folders, the path of ZAVConfig.xml and the
// messaging-server settings of that file. Every construction also publishes
// the server settings and the program folder under the Config key, from
// where GetExecutePath and other agent components read them.

#include <cstdint>
#include <string>

#include "xplat/system_error.h"

namespace zav::custody {

// The agent's program folder, and why it is empty when it is.
struct ProgramFolder {
  std::wstring path;
  xplat::ErrorCode readError = 0;  // the system's error of a read that failed; 0 for a missing or unsuitable value
};

class AgentConfig {
 public:
  AgentConfig();
  ~AgentConfig() = default;

  std::wstring GetConfigFilePath() const { return configFilePath; }
  std::wstring GetProxyAddress() const { return proxyAddress; }
  std::wstring GetProxyPort() const { return proxyPort; }
  std::wstring GetProxyUserName() const { return proxyUserName; }

  // True when ZAVConfig.xml does not parse or has no server element.
  bool LoadServerSettings();
  // The error of opening the Config key, or 0 once the values are written.
  // After a ZAVConfig.xml that could not be read or parsed, only values
  // that are missing are written; none is replaced or deleted.
  std::uint32_t WriteRegistrySettings();

  // The agent's program folder as published ("ZAVExecutePath"); empty when
  // missing, unsuitable or unreadable.
  static std::wstring GetExecutePath() { return ReadExecutePath().path; }
  // The same, and the system's error when it could not be read.
  static ProgramFolder ReadExecutePath();
  // One text value of the agent's key; empty when missing or unsuitable.
  static std::wstring ReadAgentValue(const std::wstring& valueName);

  // Read-only views for callers and tests.
  const std::wstring& OemName() const { return oemName; }
  const std::wstring& AgentName() const { return agentName; }
  const std::wstring& AgentVersion() const { return agentVersion; }
  const std::wstring& CommonAppDataFolder() const { return commonAppDataFolder; }
  const std::wstring& AgentDataFolder() const { return agentDataFolder; }
  const std::wstring& CacheFolder() const { return cacheFolder; }
  const std::wstring& PersistFolder() const { return persistFolder; }
  const std::wstring& ProxyPassword() const { return proxyPassword; }
  bool UseSsl() const { return useSsl; }
  const std::wstring& ServerAddress() const { return serverAddress; }
  const std::wstring& ServerPort() const { return serverPort; }
  const std::wstring& ServerSecurePort() const { return serverSecurePort; }

 private:
  void LocateFolders();
  std::uint32_t PublishServerValues();

  std::wstring oemName;
  std::wstring agentName;
  std::wstring agentVersion;
  std::wstring commonAppDataFolder;
  std::wstring agentDataFolder;
  std::wstring cacheFolder;
  std::wstring persistFolder;
  std::wstring configFilePath;
  std::wstring proxyPassword;
  std::wstring proxyAddress;
  std::wstring proxyPort;
  std::wstring proxyUserName;
  bool useSsl = true;
  std::wstring serverAddress = L"localhost";
  std::wstring serverPort = L"80";
  std::wstring serverSecurePort;
  bool fileUnreadable = false;  // the last LoadServerSettings could not read or parse the file
};

// The path of ZAVConfig.xml, found as AgentConfig finds it but without
// publishing anything: for the agent's other programs (the host executable).
std::wstring LocateConfigFile();

}  // namespace zav::custody
