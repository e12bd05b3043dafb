#include "module_machine.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "config/agent_config.h"
#include "config/agent_keys.h"
#include "hosts/host_files.h"
#include "start_stamp.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace module_bench {
namespace {

#if defined(_WIN32)
constexpr wchar_t kExe[] = L".exe";
int Duplicate(int descriptor) { return ::_dup(descriptor); }
int Replace(int source, int target) { return ::_dup2(source, target); }
int Descriptor(std::FILE* stream) { return ::_fileno(stream); }
std::FILE* Stream(int descriptor) { return ::_fdopen(descriptor, "w"); }
#else
constexpr wchar_t kExe[] = L"";
int Duplicate(int descriptor) { return ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3); }  // not the hosts'
int Replace(int source, int target) { return ::dup2(source, target); }
int Descriptor(std::FILE* stream) { return ::fileno(stream); }
std::FILE* Stream(int descriptor) { return ::fdopen(descriptor, "w"); }
#endif

std::FILE* figures = stdout;

}  // namespace

fs::path Bin() { return fs::path(xplat::ExecutablePath()).parent_path(); }

std::vector<std::wstring> HostNames(int count, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_wstring(100 + i));
  return names;
}

Machine::Machine(const std::string& name, const std::string& image)
    : folder(fs::temp_directory_path() / (name + "-" + std::to_string(xplat::CurrentProcessId()))) {
  try {
    Prepare(image);
  } catch (...) {
    Remove();  // no destructor runs for a machine that was never made
    throw;
  }
}

void Machine::Prepare(const std::string& image) const {
  fs::create_directories(folder / "program");
#if !defined(_WIN32)
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", (folder / "machine").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", (folder / "registry").wstring());
#endif
  xplat::WriteEnvironment(L"TALLYX_LOG_FILE", Log().wstring());
  xplat::WriteEnvironment(L"TALLYX_LEVEL", L"200");
  xplat::WriteEnvironment(L"CUSTODEX_BENCH_STARTS", Stamps().wstring());
  xplat::WriteEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS", L"3600000");
  const std::wstring source = image == "qvhost" ? L"qvhost.exe" : std::wstring(L"custodex-bench-host") + kExe;
  fs::copy_file(Bin() / source, Program() / "qvhost.exe");
  for (const wchar_t* library : {L"Hubrelle", L"tallyx", L"ZAVSample"})
    fs::copy_file(Bin() / xplat::LibraryFileName(library), Program() / xplat::LibraryFileName(library));
  xplat::RegistryKey::DeleteTree(agent_keys::kAgent);
  xplat::RegistryKey::Create(agent_keys::kAgent).Set(L"Path", xplat::StringValue(Bin().wstring()));
  xplat::RegistryKey::Create(agent_keys::kConfig);
}

Machine::~Machine() { Remove(); }

void Machine::Remove() const {
  xplat::RegistryKey::DeleteTree(agent_keys::kAgent);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

void Machine::Setting(const wchar_t* name, bool on) const {
  xplat::RegistryKey::Create(agent_keys::kCustodex)
      .Set(name, xplat::RegistryValue{xplat::kRegDword, {on ? std::uint8_t{1} : std::uint8_t{0}, 0, 0, 0}});
}

void Machine::ModuleList(const std::vector<std::wstring>& hosts) const {
  std::ostringstream xml;
  xml << "<configuration><zavmodules>";
  for (const std::wstring& host : hosts) {
    xml << "<module host=\"" << xplat::ToUtf8(host) << "\" name=\"ZAVSample\" version=\"1\" file=\""
        << xplat::ToUtf8(xplat::LibraryFileName(L"ZAVSample")) << "\" hash=\"h\"/>";
  }
  xml << "</zavmodules></configuration>";
  const fs::path list = fs::path(zav::custody::LocateConfigFile());
  fs::create_directories(list.parent_path());
  std::ofstream(list, std::ios::binary) << xml.str();
}

void Machine::UseProgramFolder() const {
  xplat::RegistryKey::Create(agent_keys::kConfig).Set(L"ZAVExecutePath", xplat::StringValue(Program().wstring()));
}

std::vector<std::wstring> Machine::Copies(const std::vector<std::wstring>& hosts) const {
  std::vector<std::wstring> copies;
  for (const std::wstring& host : hosts) copies.push_back(zav::custody::HostImagePath(Program().wstring(), host));
  return copies;
}

ModuleRun::ModuleRun(const Machine& machine, const std::vector<std::wstring>& hosts, std::function<void()> afterExecute)
    : signal(xplat::CreateEventSignal(L"BenchService")), onReturn(std::move(afterExecute)) {
  broker.Queue()->Register(L"ZAV.Service.RequestPolicy", *signal);
  module = std::make_unique<zav::custody::Custodex>();
  machine.UseProgramFolder();
  for (const std::wstring& host : hosts) {
    zav::custody::HostRecord record;
    record.hostName = host;
    record.moduleName = L"ZAVSample";
    record.fileName = L"NotLoaded.dll";
    module->Add(record);
  }
  thread = std::thread([this] {
    module->Execute();
    if (onReturn) onReturn();
    returned = true;
  });
  signal->Wait(10000);
  EventData policy(L"ZAV.Service", L"ApplyHostPolicy", L"");
  broker.Post(policy);
}

#if defined(_WIN32)
double ThreadCpuMs(std::thread& thread) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetThreadTimes(pthread_gethandle(thread.native_handle()), &created, &exited, &kernel, &user)) return -1;
  const auto units = [](const FILETIME& time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  };
  return (units(kernel) + units(user)) / 1e4;  // 100-ns units
}
#else
double ThreadCpuMs(std::thread& thread) {
  clockid_t clock;
  timespec now{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &now) != 0) return -1;
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}
#endif

double ModuleRun::ThreadCpuMs() { return module_bench::ThreadCpuMs(thread); }

ModuleRun::~ModuleRun() {
  broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, L"Bench");
  thread.join();
  for (auto& [name, record] : module->Hosts()) {
    record.processHandle.Terminate(1);
    record.processHandle.WaitForExit(10000);
  }
  module.reset();
  broker.Queue()->Unregister(L"ZAV.Service.RequestPolicy", *signal);
}

bool ModuleRun::Send(const std::wstring& fullName) {
  return broker.Send(fullName, 0, nullptr, EventCode::Default, L"Bench");
}

void Stamps::Read() {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a line still being written
    offset += line.size() + 1;
    std::istringstream fields(line);
    std::string host;
    std::uint32_t pid = 0;
    std::uint64_t ns = 0;
    if (fields >> host >> pid >> ns) {
      latest[host] = {pid, ns};
      ++starts[host];
    }
  }
}

void Stamps::SkipEarlier() {
  Read();
  latest.clear();
  starts.clear();
}

bool Stamps::AwaitNew(const std::string& host, std::uint32_t old, std::uint64_t& startNs,
                      std::chrono::milliseconds limit) {
  for (const auto end = Clock::now() + limit; Clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    Read();
    const auto found = latest.find(host);
    if (found != latest.end() && found->second.first != old) {
      startNs = found->second.second;
      return true;
    }
  }
  return false;
}

std::size_t Stamps::Starts(const std::string& host) {
  Read();
  return starts[host];
}

std::uint32_t Stamps::Pid(const std::string& host) {
  Read();
  return latest.count(host) ? latest[host].first : 0;
}

std::vector<std::string> Stamps::RunningFor(const std::vector<std::wstring>& hosts, std::uint64_t minimumMs) {
  Read();
  std::vector<std::string> running;
  const std::uint64_t now = custodex_monotonic_ns();
  for (const std::wstring& name : hosts) {
    const auto stamp = latest.find(xplat::ToUtf8(name));
    if (stamp != latest.end() && now - stamp->second.second >= minimumMs * 1000000) running.push_back(stamp->first);
  }
  return running;
}

std::string Stamps::AnyRunningFor(const std::vector<std::wstring>& hosts, std::uint64_t minimumMs,
                                  std::mt19937& random) {
  std::vector<std::string> ready = RunningFor(hosts, minimumMs);
  while (ready.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ready = RunningFor(hosts, minimumMs);
  }
  return ready[random() % ready.size()];
}

std::size_t Stamps::Count(const std::vector<std::wstring>& hosts) {
  Read();
  return static_cast<std::size_t>(std::count_if(
      hosts.begin(), hosts.end(), [this](const std::wstring& host) { return latest.count(xplat::ToUtf8(host)) != 0; }));
}

std::optional<double> TimeRestartAfterKill(Stamps& stamps, const std::string& host, std::chrono::milliseconds limit) {
  const std::uint32_t old = stamps.Pid(host);
  const xplat::ProcessHandle process = xplat::OpenProcessForWaiting(old);
  if (!process || !xplat::TerminateProcessById(old, 1) || !process.WaitForExit(10000)) return std::nullopt;
  const std::uint64_t endedNs = custodex_monotonic_ns();
  std::uint64_t startNs = 0;
  if (!stamps.AwaitNew(host, old, startNs, limit)) return std::nullopt;
  return startNs > endedNs ? static_cast<double>(startNs - endedNs) / 1e6 : 0;
}

Latencies Summarise(std::vector<double> latenciesMs) {
  Latencies figures;
  figures.measured = static_cast<int>(latenciesMs.size());
  if (latenciesMs.empty()) return figures;
  std::sort(latenciesMs.begin(), latenciesMs.end());
  figures.medianMs = latenciesMs[latenciesMs.size() / 2];
  figures.longestMs = latenciesMs.back();
  return figures;
}

std::vector<xplat::RunningProgram> Running(const std::vector<std::wstring>& copies) {
  return xplat::OwnProcessesRunning(copies);
}

// A process still being made may not be found yet (under Wine, for one):
// the sweep ends only when a second look, a while after an empty one, finds
// nothing either.
Sweep::~Sweep() {
  int emptyLooks = 0;
  for (const auto end = Clock::now() + std::chrono::seconds(30); emptyLooks < 2 && Clock::now() < end;) {
    const std::vector<xplat::RunningProgram> left = Running(images);
    emptyLooks = left.empty() ? emptyLooks + 1 : 0;
    if (left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // A handle opened to supervise cannot end its process on Windows;
    // held, it keeps the id from going to another process meanwhile.
    for (const xplat::RunningProgram& program : left) {
      if (!program.process.Terminate(1)) xplat::TerminateProcessById(program.processId, 1);
    }
    for (const xplat::RunningProgram& program : left) program.process.WaitForExit(1000);
  }
}

LogWatch::LogWatch(fs::path file) : path(std::move(file)) {
  std::error_code missing;
  offset = static_cast<std::size_t>(fs::file_size(path, missing));
  if (missing) offset = 0;
}

bool LogWatch::Saw(const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  const std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t lines = added.rfind('\n') + 1;  // a line still being written waits for the next look
  offset += lines;
  return added.substr(0, lines).find(text) != std::string::npos;
}

std::FILE* Figures() { return figures; }

QuietOutput::QuietOutput(fs::path file) : path(std::move(file)) {
  std::fflush(stdout);
  std::FILE* sink = std::fopen(path.string().c_str(), "wb");
  const int original = sink ? Duplicate(Descriptor(stdout)) : -1;
  std::FILE* kept = original >= 0 ? Stream(original) : nullptr;
  if (kept && Replace(Descriptor(sink), Descriptor(stdout)) >= 0)
    figures = kept;
  else if (kept)
    std::fclose(kept);
  if (sink) std::fclose(sink);
}

QuietOutput::~QuietOutput() {
  std::fflush(stdout);
  if (figures != stdout) {
    std::fflush(figures);
    Replace(Descriptor(figures), Descriptor(stdout));
    std::fclose(figures);
    figures = stdout;
  }
  std::error_code ignored;
  fs::remove(path, ignored);
}

}  // namespace module_bench
