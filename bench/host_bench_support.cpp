#include "host_bench_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "config/agent_config.h"
#include "config/agent_keys.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace bench_support {
namespace {

constexpr std::uint32_t kEndWaitMs = 10000;

fs::path machineFolder;

std::vector<pid_t> ReadPids(const fs::path& childrenFile) {
  std::ifstream in(childrenFile);
  return std::vector<pid_t>(std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>());
}

}  // namespace

int RunInTemporaryMachine(int argc, char** argv, const std::function<void()>& summary) {
  machineFolder = fs::temp_directory_path() / ("custodex-bench-" + std::to_string(::getpid()));
  fs::create_directories(machineFolder);
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", (machineFolder / "machine").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", (machineFolder / "registry").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_EVENT_LOG", (machineFolder / "events.log").wstring());
  xplat::WriteEnvironment(L"TALLYX_LOG_FILE", (machineFolder / "bench.log").wstring());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (summary) summary();
  benchmark::Shutdown();
  EndChildProcesses();
  std::error_code ignored;
  fs::remove_all(machineFolder, ignored);
  return 0;
}

const fs::path& MachineFolder() { return machineFolder; }

void PrepareAgentKeys(bool moduleLogging) {
  xplat::RegistryKey::DeleteTree(agent_keys::kAgent);
  xplat::RegistryKey agent = xplat::RegistryKey::Create(agent_keys::kAgent);
  if (!moduleLogging) agent.Set(L"LogLevelFilter", xplat::StringValue(L"!Custodex"));
  xplat::RegistryKey::Create(agent_keys::kConfig);
}

void SetExecutePath(const fs::path& folder) {
  xplat::RegistryKey::Create(agent_keys::kConfig).Set(L"ZAVExecutePath", xplat::StringValue(folder.wstring()));
}

std::vector<std::wstring> HostNames(const std::wstring& prefix, int count) {
  std::vector<std::wstring> names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + (i < 10 ? L"0" : L"") + std::to_wstring(i));
  return names;
}

std::string ModuleList(const std::vector<std::wstring>& hosts, const std::wstring& moduleFile) {
  std::ostringstream xml;
  xml << "<configuration><server address=\"localhost\" port=\"80\"/><zavmodules>\n";
  for (const std::wstring& host : hosts) {
    xml << "  <module host=\"" << xplat::ToUtf8(host) << "\" name=\"BenchModule\" description=\"d\" version=\"1\""
        << " file=\"modules\\" << xplat::ToUtf8(moduleFile) << "\" hash=\"h\"/>\n";
  }
  xml << "</zavmodules></configuration>\n";
  return xml.str();
}

std::string Policy(const std::vector<std::wstring>& hosts) {
  std::string xml = "<qvhosts>";
  for (const std::wstring& host : hosts) xml += "<host name=\"" + xplat::ToUtf8(host) + "\"/>";
  return xml + "</qvhosts>";
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void WriteModuleList(const std::vector<std::wstring>& hosts, const std::wstring& moduleFile) {
  WriteFile(zav::custody::LocateConfigFile(), ModuleList(hosts, moduleFile));
}

fs::path ProgramFolder() { return fs::path(xplat::ExecutablePath()).parent_path(); }

fs::path HostImage(const fs::path& folder, const std::wstring& hostName) {
  return folder / (L"QVH-" + hostName + L".exe");
}

// The copies, and the status and stop files of each of their processes.
void RemoveHostFiles(const fs::path& folder, const std::vector<std::wstring>& hosts) {
  std::error_code ignored;
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ignored)) files.push_back(entry.path());
  for (const std::wstring& host : hosts) {
    const std::wstring prefix = L"QVH-" + host + L".";
    for (const fs::path& file : files) {
      const std::wstring name = file.filename().wstring();
      const fs::path extension = file.extension();
      if (name.rfind(prefix, 0) == 0 && (extension == ".exe" || extension == ".status" || extension == ".stop"))
        fs::remove(file, ignored);
    }
  }
}

bool CopyAndSpawn(const fs::path& folder, const std::vector<std::wstring>& hosts,
                  std::vector<xplat::StartedProcess>& started) {
  const std::wstring source = (folder / "qvhost.exe").wstring();
  for (const std::wstring& host : hosts) {
    const fs::path image = HostImage(folder, host);
    xplat::StartedProcess process;
    if (!xplat::CopyFile(source, image.wstring()) || !xplat::StartProgram(image.wstring(), L"-m " + host, process)) {
      return false;
    }
    started.push_back(std::move(process));
  }
  return true;
}

void EndProcesses(const std::vector<const xplat::ProcessHandle*>& processes) {
  for (const xplat::ProcessHandle* process : processes) process->Terminate(1);
  std::uint32_t exitCode = 0;
  for (const xplat::ProcessHandle* process : processes) {
    process->WaitForExit(kEndWaitMs);
    process->GetExitCode(exitCode);  // reaps it
  }
}

void EndProcesses(std::vector<xplat::StartedProcess>& started) {
  std::vector<const xplat::ProcessHandle*> processes;
  for (const xplat::StartedProcess& process : started) processes.push_back(&process.process);
  EndProcesses(processes);
  started.clear();
}

std::vector<pid_t> ChildrenOfThread(pid_t threadId) {
  return ReadPids(fs::path("/proc/self/task") / std::to_string(threadId) / "children");
}

std::vector<pid_t> ChildrenOfProcess() {
  std::vector<pid_t> children;
  std::error_code ignored;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ignored)) {
    const std::vector<pid_t> more = ReadPids(task.path() / "children");
    children.insert(children.end(), more.begin(), more.end());
  }
  return children;
}

void EndChildProcesses() {
  const std::vector<pid_t> children = ChildrenOfProcess();
  for (const pid_t child : children) ::kill(child, SIGKILL);
  for (const pid_t child : children) ::waitpid(child, nullptr, 0);
}

double TimeCopyAndSpawn(const fs::path& folder, const std::vector<std::wstring>& hosts, bool& failed) {
  std::vector<xplat::StartedProcess> started;
  const auto start = std::chrono::steady_clock::now();
  failed = !CopyAndSpawn(folder, hosts, started) || failed;
  const double elapsed = Seconds(std::chrono::steady_clock::now() - start);
  EndProcesses(started);
  RemoveHostFiles(folder, hosts);
  return elapsed;
}

void FloorComparison::Add(double measuredSeconds, double floorSeconds) {
  ++iterations;
  measured += measuredSeconds;
  floor += floorSeconds;
}

void FloorComparison::Report(benchmark::State& state) const {
  if (iterations == 0 || floor <= 0) return;
  state.counters["floor_ms"] = floor * 1e3 / iterations;
  state.counters["x_floor"] = measured / floor;
}

std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t totalPages = 0;
  std::size_t residentPages = 0;
  statm >> totalPages >> residentPages;
  return residentPages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace bench_support
