#include "service/machine.h"

#include <filesystem>
#include <pugixml.hpp>
#include <system_error>

#include "config/agent_config.h"
#include "config/agent_keys.h"
#include "service/console.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace service {
namespace {

// The agent's own version, as its installer records it; the sample module's too.
constexpr wchar_t kAgentVersion[] = L"1.0.0";

std::string Utf8(const std::wstring& text) { return xplat::ToUtf8(text); }

std::wstring JoinNames(const std::vector<std::wstring>& names) {
  std::wstring joined;
  for (const std::wstring& name : names) joined += (joined.empty() ? L"" : L", ") + name;
  return joined.empty() ? L"none" : joined;
}

void AddServer(pugi::xml_node configuration) {
  pugi::xml_node server = configuration.append_child(L"server");
  server.append_attribute(L"address") = L"localhost";
  server.append_attribute(L"port") = L"8080";
  server.append_attribute(L"usesssl") = L"false";
}

void AddSampleModule(pugi::xml_node modules, const std::wstring& hostName) {
  pugi::xml_node entry = modules.append_child(L"zavmodule");
  entry.append_attribute(L"host") = hostName.c_str();
  entry.append_attribute(L"name") = kSampleModuleName;
  entry.append_attribute(L"description") = L"Sample module run in a host process";
  entry.append_attribute(L"version") = kAgentVersion;
  entry.append_attribute(L"file") = (L"modules\\" + SampleModuleFileName()).c_str();
  entry.append_attribute(L"hash") = L"unchecked";
}

bool SetText(xplat::RegistryKey& key, const wchar_t* name, const std::wstring& text) {
  return key.Set(name, xplat::StringValue(text)) == xplat::kErrorSuccess;
}

// The module may be reading the file meanwhile: it sees the old or the new
// one, never half of it, where the system lets a file be replaced.
bool SaveReplacing(const pugi::xml_document& document, const std::wstring& path) {
  const std::wstring fresh = path + L".new";
  if (document.save_file(fresh.c_str(), L"  ", pugi::format_default, pugi::encoding_utf8)) {
    std::error_code error;
    std::filesystem::rename(xplat::FileSystemPath(fresh), xplat::FileSystemPath(path), error);
    if (!error) return true;
    xplat::DeleteFile(fresh);
  }
  return document.save_file(path.c_str(), L"  ", pugi::format_default, pugi::encoding_utf8);
}

}  // namespace

bool SetSupervisionFeatures(bool on) {
  xplat::RegistryKey key = xplat::RegistryKey::Create(agent_keys::kCustodex);
  const xplat::RegistryValue value{xplat::kRegDword, {static_cast<std::uint8_t>(on ? 1 : 0), 0, 0, 0}};
  bool all = key.IsOpen();
  for (const wchar_t* name : {L"WakeOnHostExit", L"RestartBackOff", L"HostStatus", L"AdoptHosts", L"TrackHostTrees",
                              L"StopHostsThatDoNotEnd", L"PublishHostEvents"}) {
    all = key.Set(name, value) == xplat::kErrorSuccess && all;
  }
  if (!all) Say("cannot record the module's supervision settings");
  return all;
}

std::wstring SampleModuleFileName() { return xplat::LibraryFileName(kSampleModuleName); }

bool UseMachineRoot(const std::wstring& root) {
#if defined(_WIN32)
  Say("--root is for Linux only; Windows keeps the machine's own registry and folders");
  return false;
#else
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::absolute(xplat::FileSystemPath(root), error);
  if (!error) std::filesystem::create_directories(folder, error);
  if (error) {
    Say("cannot use %s as the machine root", Utf8(root).c_str());
    return false;
  }
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", xplat::WidePath(folder));
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", xplat::WidePath(folder / "registry"));
  Say("machine root %s", folder.string().c_str());
  return true;
#endif
}

bool RegisterAgent(const std::wstring& programFolder) {
  xplat::ErrorCode error = 0;
  xplat::RegistryKey agent = xplat::RegistryKey::Create(agent_keys::kAgent, &error);
  const bool written = agent.IsOpen() && SetText(agent, L"Path", programFolder) &&
                       SetText(agent, L"Version", kAgentVersion) &&
                       xplat::RegistryKey::Create(agent_keys::kConfig, &error).IsOpen();
  if (!written) {
    Say("cannot record the agent's registry values (error %u)", error);
    return false;
  }
  Say("install folder %s, agent version %s", Utf8(programFolder).c_str(), Utf8(kAgentVersion).c_str());
  return true;
}

bool WriteModuleList(const std::vector<std::wstring>& hosts) {
  const std::wstring path = zav::custody::LocateConfigFile();
  std::error_code error;
  std::filesystem::create_directories(xplat::FileSystemPath(xplat::FolderOf(path)), error);
  pugi::xml_document document;
  pugi::xml_node configuration = document.append_child(L"configuration");
  AddServer(configuration);
  pugi::xml_node modules = configuration.append_child(L"zavmodules");
  for (const std::wstring& host : hosts) AddSampleModule(modules, host);
  if (!SaveReplacing(document, path)) {
    Say("cannot write the module list %s", Utf8(path).c_str());
    return false;
  }
  Say("module list %s: %s under %s", Utf8(path).c_str(), Utf8(kSampleModuleName).c_str(),
      Utf8(JoinNames(hosts)).c_str());
  return true;
}

bool CheckProgramFolder(const std::wstring& programFolder) {
  bool complete = true;
  for (const std::wstring& file : {std::wstring(L"qvhost.exe"), SampleModuleFileName()}) {
    if (xplat::PathExists(programFolder + xplat::kPathSeparator + file)) continue;
    Say("%s is missing from %s: build it first (hosts cannot run without it)", Utf8(file).c_str(),
        Utf8(programFolder).c_str());
    complete = false;
  }
  return complete;
}

}  // namespace service
