#include "hosts/host_test_support.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/log_file.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/text.h"

namespace testing_support {
namespace {

constexpr const wchar_t* kServiceHears[] = {L"ZAV.Service.RequestPolicy", L"ZAV.Service.UpdatePolicy",
                                            L"ZAV.Service.HostUpgrade", L"ZAV.Service.UnloadModuleForHosting",
                                            L"ZAV.Service.HostStatus"};

std::filesystem::path FakeHostProgram() {
#if defined(_WIN32)
  return ProgramFolder() / "custodex-fake-host.exe";
#else
  return ProgramFolder() / "custodex-fake-host";
#endif
}

// Waits in real time, whatever clock the test installed.
void AwaitExit(const xplat::ProcessHandle& process) {
  for (int i = 0; i < 500 && !process.WaitForExit(0); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// A handle that may not end its process (one taken over, on Windows) ends
// it by its id.
void EndAndAwait(const xplat::ProcessHandle& process, std::uint32_t processId) {
  if (!process) return;
  if (!process.Terminate(1)) xplat::TerminateProcessById(processId, 1);
  AwaitExit(process);
}

// What hosts and tests leave in the program folder: the copies and what the
// fake hosts wrote beside them.
void RemoveHostFiles(const std::filesystem::path& folder) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.path().filename().string().rfind("QVH-", 0) == 0) std::filesystem::remove(entry.path(), ignored);
  }
}

}  // namespace

std::filesystem::path ProgramFolder() { return std::filesystem::path(xplat::FolderOf(xplat::ExecutablePath())); }

ServiceEnd::ServiceEnd() : signal(xplat::CreateEventSignal(L"TestService")) {
  for (const wchar_t* name : kServiceHears) broker.Queue()->Register(name, *signal);
}

constexpr wchar_t kHostEvent[] = L"ZAV.Service.HostEvent";

ServiceEnd::~ServiceEnd() {
  Drain();
  for (const wchar_t* name : kServiceHears) broker.Queue()->Unregister(name, *signal);
  broker.Queue()->Unregister(kHostEvent, *signal);
}

void ServiceEnd::HearHostEvents() { broker.Queue()->Register(kHostEvent, *signal); }

std::vector<std::wstring> ServiceEnd::Drain() {
  std::vector<std::wstring> names;
  while (EventData* record = broker.Queue()->Pull(*signal)) {
    names.push_back(record->FullName());
    std::string data(reinterpret_cast<const char*>(record->Data), record->Data ? record->DataLength : 0);
    if (names.back() == kHostEvent) {
      hostEvents.push_back(std::move(data));
    } else {
      lastParameter = record->Parameter;
      lastSender = record->Sender;
      lastData = std::move(data);
    }
    broker.Queue()->Release(record);
  }
  return names;
}

bool ServiceEnd::AwaitRecord(const std::wstring& fullName) {
  return Eventually([&] {
    const std::vector<std::wstring> names = Drain();
    return std::find(names.begin(), names.end(), fullName) != names.end();
  });
}

bool ServiceEnd::Send(const std::wstring& fullName, const std::wstring& parameter) {
  EventData record;
  BrokerBinding::SplitFullName(fullName, record.Category, record.Name);
  record.Parameter = parameter;
  return broker.Post(record);
}

bool ServiceEnd::SendPolicy(const std::string& xml) {
  EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
  record.DataLength = static_cast<std::uint32_t>(xml.size());
  record.Data = reinterpret_cast<unsigned char*>(const_cast<char*>(xml.data()));
  return broker.Post(record);  // the record now owns the binding's copy
}

void ServiceEnd::HearPolicyRequests(bool hear) {
  if (hear == hearsPolicyRequests) return;
  hearsPolicyRequests = hear;
  if (hear) {
    broker.Queue()->Register(kServiceHears[0], *signal);
  } else {
    broker.Queue()->Unregister(kServiceHears[0], *signal);
  }
}

LogCursor::LogCursor() : start(LoggedTexts(L"Custodex").size()) {}

std::vector<std::wstring> LogCursor::Lines() const {
  std::vector<std::wstring> all = LoggedTexts(L"Custodex");
  return std::vector<std::wstring>(all.begin() + static_cast<std::ptrdiff_t>(std::min(start, all.size())), all.end());
}

std::size_t LogCursor::Count(const std::wstring& prefix) const {
  std::size_t count = 0;
  for (const std::wstring& line : Lines()) count += line.rfind(prefix, 0) == 0;
  return count;
}

std::filesystem::path NewFolder(const std::string& purpose) {
  static int counter = 0;
  const std::filesystem::path folder = TestFolder() / (purpose + "-" + std::to_string(++counter));
  std::filesystem::create_directories(folder);
  return folder;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::filesystem::path ConfigFile() { return std::filesystem::path(zav::custody::LocateConfigFile()); }

std::string ModuleEntry(const std::string& host, const std::string& file, const std::string& name) {
  return "<module host=\"" + host + "\" name=\"" + name + "\" description=\"d\" version=\"1\" file=\"" + file +
         "\" hash=\"h\"/>";
}

void WriteModuleList(const std::string& entries, const std::string& prolog) {
  WriteFile(ConfigFile(), prolog + "<configuration><zavmodules>" + entries + "</zavmodules></configuration>");
}

// The program's folder is its own: its "qvhost.exe", a link to the build's,
// is removed before the fake host takes its place, never written through.
HostsTest::HostsTest() : programFolder(ProgramFolder()) {
  RemoveHostFiles(programFolder);
  std::filesystem::remove(programFolder / "qvhost.exe");
  std::filesystem::copy_file(FakeHostProgram(), programFolder / "qvhost.exe");
  module = std::make_unique<zav::custody::Custodex>();
  configKey.SetText(L"ZAVExecutePath", programFolder.wstring());
}

HostsTest::~HostsTest() {
  std::error_code ignored;
  std::filesystem::remove(ConfigFile(), ignored);
  for (auto& [name, record] : module->Hosts()) EndAndAwait(record.processHandle, record.processId);
  for (const zav::custody::DetachedHost& host : module->DetachedProcesses()) {
    EndAndAwait(host.processHandle, host.processId);
  }
  module.reset();
  RemoveHostFiles(programFolder);
}

zav::custody::HostRecord& HostsTest::AddHost(const std::wstring& name, const std::wstring& fileName) {
  zav::custody::HostRecord record;
  record.hostName = name;
  record.moduleName = L"Module" + name;
  record.fileName = fileName;
  module->Add(record);
  return module->Hosts().at(name);
}

std::filesystem::path HostsTest::ImageOf(const std::wstring& hostName) const {
  return programFolder / (L"QVH-" + hostName + L".exe");
}

std::vector<std::string> HostsTest::ArgumentsOf(const std::filesystem::path& image) const {
  const std::filesystem::path file = image.string() + ".args";
  for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> arguments;
  for (std::string line; std::getline(in, line);) arguments.push_back(line);
  return arguments;
}

void HostsTest::SetLife(const std::wstring& hostName, int ms, int exitCode) const {
  WriteFile(ImageOf(hostName).string() + ".life", std::to_string(ms) + " " + std::to_string(exitCode));
}

void HostsTest::EndHost(const std::wstring& hostName) {
  auto& record = module->Hosts().at(hostName);
  record.processHandle.Terminate(7);
  AwaitExit(record.processHandle);
}

}  // namespace testing_support

namespace testing_support {

bool HostsTest::ParsePolicy(const std::string& bytes) {
  EventData event(L"ZAV.Service", L"ApplyHostPolicy", L"");
  event.DataLength = static_cast<std::uint32_t>(bytes.size());
  event.Data = new unsigned char[bytes.size()];
  std::copy(bytes.begin(), bytes.end(), event.Data);
  const bool failed = module->ParseData(&event);
  EXPECT_EQ(module->PolicyLock()->load(), 0u) << "the policy lock is given back";
  return failed;
}

bool HostsTest::LookUp(const std::wstring& hostName, zav::custody::HostRecord& record) {
  record.hostName = hostName;
  return module->LoadHostModulesFromConfig(record);
}

bool HostsTest::LookUp(const std::wstring& hostName) {
  zav::custody::HostRecord record;
  return LookUp(hostName, record);
}

std::string PolicyDocument(const std::vector<std::wstring>& names) {
  std::string xml = "<qvhosts>";
  for (const std::wstring& name : names) xml += "<host name=\"" + xplat::ToUtf8(name) + "\"/>";
  return xml + "</qvhosts>";
}

std::vector<std::wstring> HostsTest::HostNames() const {
  std::vector<std::wstring> names;
  for (const auto& [name, record] : module->Hosts()) names.push_back(name);
  return names;
}

}  // namespace testing_support
