#include "host_manager.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "config/agent_keys.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace fuzz_support {
namespace {

namespace fs = std::filesystem;

fs::path CreateMachineFolder() {
  for (unsigned attempt = 0;; ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("custodex-fuzz-" + std::to_string(std::random_device{}()) +
                                                            "-" + std::to_string(attempt));
    if (fs::create_directory(candidate)) return candidate;
  }
}

// The environment goes first: the registry store and the log file are
// found through it on first use. Without the Config key the configuration
// publishes nothing, so a look-up costs only its reading.
void UseMachine(const fs::path& folder) {
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", (folder / "machine").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", (folder / "registry").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_EVENT_LOG", (folder / "events.log").wstring());
  xplat::WriteEnvironment(L"TALLYX_LOG_FILE", (folder / "tallyx.log").wstring());
  xplat::RegistryKey::Create(agent_keys::kAgent).Set(L"LogLevelFilter", xplat::StringValue(L"!Custodex"));
}

class Machine {
 public:
  Machine() : folder(CreateMachineFolder()) {
    UseMachine(folder);
    configFile = zav::custody::LocateConfigFile();
    fs::create_directories(configFile.parent_path());
    manager = std::make_unique<zav::custody::Custodex>();
  }
  ~Machine() {
    manager.reset();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  zav::custody::Custodex& Manager() { return *manager; }
  const fs::path& ConfigFile() const { return configFile; }

 private:
  fs::path folder;
  fs::path configFile;
  std::unique_ptr<zav::custody::Custodex> manager;
};

Machine& TheMachine() {
  static Machine machine;
  return machine;
}

}  // namespace

zav::custody::Custodex& HostManager() { return TheMachine().Manager(); }

void WriteModuleList(const std::string& bytes) {
  std::ofstream(TheMachine().ConfigFile(), std::ios::binary | std::ios::trunc) << bytes;
}

std::string PresentModuleFile() { return xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle")); }

}  // namespace fuzz_support
