#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "hosts/host_test_support.h"
#include "support/fake_clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using testing_support::HostsTest;
using testing_support::LogCursor;

std::vector<std::filesystem::path> Listing(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Content(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LauncherTest : public HostsTest {};

TEST_F(LauncherTest, FirstStartCopiesTheHostExecutableAndPassesTheHostName) {
  AddHost(L"Foo");
  AddHost(L"Two Words");
  LogCursor log;
  ASSERT_TRUE(module->StartProcess(L"Foo"));
  const std::wstring image = ImageOf(L"Foo").wstring();
  const std::vector<std::wstring> expected = {L"StartProcess: Enter",
                                              L"StartProcess: Deleting of " + image + L" failed"};
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::wstring>(lines.begin(), lines.begin() + 2), expected);
  EXPECT_EQ(lines[2].rfind(L"GetLastError returned: ", 0), 0u) << "the missing copy's error";
  EXPECT_EQ(lines[3], L"StartProcess: Added Foo process to ProcessContainer");
  EXPECT_EQ(lines[4], L"StartProcess: Exit");
  EXPECT_EQ(log.Count(L"StartProcess: Copy of"), 0u);
  EXPECT_EQ(Content(ImageOf(L"Foo")), Content(programFolder / "qvhost.exe"));
  EXPECT_EQ(ArgumentsOf(ImageOf(L"Foo")), (std::vector<std::string>{ImageOf(L"Foo").string(), "-m", "Foo"}));

  const auto& record = module->Hosts().at(L"Foo");
  EXPECT_TRUE(record.processHandle);
  EXPECT_NE(record.processId, 0u);
  EXPECT_EQ(record.started, 0) << "the caller marks a host started";

  ASSERT_TRUE(module->StartProcess(L"Two Words"));
  EXPECT_EQ(ArgumentsOf(ImageOf(L"Two Words")),
            (std::vector<std::string>{ImageOf(L"Two Words").string(), "-m", "Two", "Words"}))
      << "the host name is passed unquoted";
}

TEST_F(LauncherTest, HostNamedQvhostRunsTheHostExecutableItself) {
  AddHost(L"QVHost");
  LogCursor log;
  ASSERT_TRUE(module->StartProcess(L"QVHost"));
  EXPECT_EQ(log.Count(L"StartProcess: Deleting"), 0u);
  EXPECT_EQ(log.Count(L"StartProcess: Copy"), 0u);
  EXPECT_FALSE(std::filesystem::exists(ImageOf(L"QVHost")));
  EXPECT_EQ(ArgumentsOf(programFolder / "qvhost.exe"),
            (std::vector<std::string>{(programFolder / "qvhost.exe").string(), "-m", "QVHost"}));
  EndHost(L"QVHost");
}

TEST_F(LauncherTest, MissingHostExecutableTouchesNoFile) {
  AddHost(L"Foo");
  std::filesystem::remove(programFolder / "qvhost.exe");
  testing_support::WriteFile(ImageOf(L"Foo"), "old copy");
  LogCursor log;
  EXPECT_FALSE(module->StartProcess(L"Foo"));
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"StartProcess: Enter", L"StartProcess: QVHost.exe not found",
                                                    L"StartProcess: Exit"}));
  EXPECT_EQ(Content(ImageOf(L"Foo")), "old copy");
}

TEST_F(LauncherTest, HostNamesThatCannotNameACopyInTheFolderAreRefused) {
  const std::vector<std::filesystem::path> before = Listing(programFolder);
  // Besides what cannot name a file: what the unquoted command line would
  // not carry back to the host (no name, a leading blank, two in a row).
  const std::wstring names[] = {L"..\\qvhost", L"../x", L"a\\b", L"a/b",   L"C:x",      L"..",     L"a<b",
                                L"a>b",        L"a\"b", L"a|b",  L"a?b",   L"a*b",      L"tab\tx", L"dot.",
                                L"blank ",     L"\x1b", L"",     L" lead", L"two  gap", L" ",      L"  "};
  for (const std::wstring& name : names) AddHost(name);
  LogCursor log;
  EXPECT_EQ(module->ApplyHostPolicy(), 1);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Failure to start: "), std::size(names));
  EXPECT_EQ(log.Count(L"StartProcess: '"), std::size(names)) << "each refused with its line";
  EXPECT_EQ(log.Count(L"StartProcess: Deleting"), 0u);
  EXPECT_EQ(Listing(programFolder), before);
  for (const auto& [name, record] : module->Hosts()) EXPECT_FALSE(record.processHandle);
}

// A name whose copy "QVH-<name>.exe" the file system cannot hold, as a
// name or, in this folder, as a path, would fall back to the shared host
// executable: it is refused instead.
TEST_F(LauncherTest, NamesWhoseCopyCannotBeMadeAreRefused) {
  const std::size_t fixed = std::wstring(L"QVH-.exe").size();
  std::size_t longest = xplat::kMaxFileNameLength - fixed;
  while (!xplat::FitsInPath(ImageOf(std::wstring(longest, L'n')).wstring())) --longest;
  const bool pathBinds = longest < xplat::kMaxFileNameLength - fixed;
  const std::wstring fits(longest, L'n');
  const std::wstring tooLong = fits + L"n";
  AddHost(fits);
  AddHost(tooLong);
  EXPECT_TRUE(module->StartProcess(fits));
  EXPECT_TRUE(std::filesystem::exists(ImageOf(fits))) << "its own copy, not the shared executable";
  LogCursor log;
  EXPECT_FALSE(module->StartProcess(tooLong));
  EXPECT_EQ(log.Count(pathBinds ? L"StartProcess: the path of " + ImageOf(tooLong).wstring() +
                                      L" is too long; the host is not started"
                                : L"StartProcess: '" + tooLong + L"' cannot name a host file; the host is not started"),
            1u);
  EXPECT_FALSE(module->Hosts().at(tooLong).processHandle);
#if !defined(_WIN32)
  const std::wstring wideTooLong(124, L'\u00fc');  // 248 characters, twice as many bytes: Linux counts bytes
  AddHost(wideTooLong);
  EXPECT_FALSE(module->StartProcess(wideTooLong));
#endif
}

// Without a program folder the images would be looked for in the root
// folder, where anyone who can write chooses what the service runs.
TEST_F(LauncherTest, UnknownProgramFolderStartsNothing) {
  AddHost(L"Rootless");
  for (const bool tooLongToRead : {false, true}) {
    if (tooLongToRead) {
      configKey.SetText(L"ZAVExecutePath", std::wstring(260, L'p'));
    } else {
      configKey.Key().Delete(L"ZAVExecutePath");
    }
    LogCursor log;
    EXPECT_FALSE(module->StartProcess(L"Rootless"));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::wstring>{L"StartProcess: Enter",
                                         L"StartProcess: the program folder is unknown; Rootless is not started",
                                         L"StartProcess: Exit"}));
    EXPECT_FALSE(module->Hosts().at(L"Rootless").processHandle);
  }
}

// A file that exists yet cannot be run is a failed start, never a started host.
TEST_F(LauncherTest, HostExecutableThatCannotRunIsAFailedStart) {
  std::filesystem::remove(programFolder / "qvhost.exe");
  testing_support::WriteFile(programFolder / "qvhost.exe", "MZ, but no program");
  std::filesystem::permissions(programFolder / "qvhost.exe", std::filesystem::perms::owner_all);
  AddHost(L"Broken");
  LogCursor log;
  EXPECT_EQ(module->ApplyHostPolicy(), 1);
  EXPECT_EQ(log.Count(L"StartProcess: " + (programFolder / "QVH-Broken.exe").wstring() + L" could not be started"), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Failure to start: Broken"), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Broken"), 0u);
  EXPECT_EQ(module->Hosts().at(L"Broken").started, 0);
  EXPECT_FALSE(module->Hosts().at(L"Broken").processHandle);
}

#if !defined(_WIN32)
// The image is the program started whatever its folder is called: never
// taken apart again at a quotation mark.
TEST_F(LauncherTest, QuotationMarkInTheProgramFolderStartsTheRightProgram) {
  const std::filesystem::path folder = testing_support::NewFolder("quote") / "a\" b";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(programFolder / "qvhost.exe", folder / "qvhost.exe");
  configKey.SetText(L"ZAVExecutePath", folder.wstring());
  AddHost(L"Quoted");
  ASSERT_TRUE(module->StartProcess(L"Quoted"));
  const std::filesystem::path image = folder / "QVH-Quoted.exe";
  EXPECT_EQ(ArgumentsOf(image), (std::vector<std::string>{image.string(), "-m", "Quoted"}));
}
#endif

TEST_F(LauncherTest, ApplyStartsEveryHostNotStartedAndGoesOnAfterAFailure) {
  LogCursor empty;
  EXPECT_EQ(module->ApplyHostPolicy(), 0);
  EXPECT_EQ(empty.Lines(), (std::vector<std::wstring>{L"ApplyHostPolicy: Enter", L"ApplyHostPolicy: Exit"}));

  AddHost(L"A|bad");
  AddHost(L"B");
  LogCursor log;
  EXPECT_EQ(module->ApplyHostPolicy(), 1);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: For NotLoaded.dll, GetModuleHandle returned 0."), 2u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Failure to start: A|bad"), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for B"), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Sending"), 0u);
  EXPECT_EQ(module->Hosts().at(L"A|bad").started, 0);
  EXPECT_EQ(module->Hosts().at(L"B").started, 1);

  LogCursor again;
  module->Hosts().erase(L"A|bad");
  EXPECT_EQ(module->ApplyHostPolicy(), 0);
  EXPECT_EQ(again.Lines(), (std::vector<std::wstring>{L"ApplyHostPolicy: Enter", L"ApplyHostPolicy: Exit"}))
      << "started hosts are passed over";
}

TEST_F(LauncherTest, ModuleLoadedInTheServiceIsUnloadedBeforeItsHostStarts) {
  xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(L"ZAVSample");
  ASSERT_TRUE(library.IsLoaded());
  const std::wstring fileName = xplat::LibraryFileName(L"ZAVSample");
  auto requests = xplat::CreateEventSignal(L"service");
  BrokerBinding broker;
  broker.Queue()->Register(L"ZAV.Service.UnloadModuleForHosting", *requests);

  testing_support::FakeClock clock;
  int sleeps = 0;
  bool startedWhileLoaded = false;
  clock.onSleep = [&](std::uint32_t) {
    startedWhileLoaded = startedWhileLoaded || module->Hosts().at(L"Sampled").processHandle;
    if (++sleeps == 3) library.Free();  // the service lets go after two and a half seconds
  };
  AddHost(L"Sampled", fileName);
  LogCursor log;
  EXPECT_EQ(module->ApplyHostPolicy(), 0);
  EXPECT_FALSE(startedWhileLoaded);
  const auto lines = log.Lines();
  const auto unloaded = std::find(lines.begin(), lines.end(), L"ApplyHostPolicy: ModuleSampled unloaded.");
  EXPECT_EQ(std::find(lines.begin(), unloaded, L"StartProcess: Enter"), unloaded) << "no start before the unload";
  EXPECT_NE(std::find(unloaded, lines.end(), L"StartProcess: Enter"), lines.end());
  EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{1000, 1000, 1000}));
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: For " + fileName + L", GetModuleHandle returned "), 4u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: For " + fileName + L", GetModuleHandle returned 0."), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: ModuleSampled unloaded."), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Sampled"), 1u);

  EventData* request = broker.Queue()->Pull(*requests);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->Parameter, L"ModuleSampled");
  EXPECT_EQ(request->Sender, L"Custodex");
  broker.Queue()->Release(request);
  EXPECT_FALSE(broker.Queue()->HasEvents(*requests)) << "the request is posted once";
  broker.Queue()->Unregister(L"ZAV.Service.UnloadModuleForHosting", *requests);
}

TEST_F(LauncherTest, ModuleThatStaysLoadedIsWaitedForTwentySecondsThenTheHostStarts) {
  testing_support::FakeClock clock;
  const std::wstring fileName = xplat::LibraryFileName(L"Hubrelle");  // the module's own broker: never unloaded
  AddHost(L"Stubborn", fileName);
  LogCursor log;
  EXPECT_EQ(module->ApplyHostPolicy(), 0);
  EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>(20, 1000));
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: For " + fileName + L", GetModuleHandle returned "), 21u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: TimeOut on unload for ModuleStubborn."), 1u);
  EXPECT_EQ(module->Hosts().at(L"Stubborn").started, 1);
}

class SupervisionTest : public HostsTest {
 protected:
  void StartAll() { ASSERT_EQ(module->ApplyHostPolicy(), 0); }
  void AwaitEnd(const std::wstring& name) {
    for (int i = 0; i < 500 && !module->Hosts().at(name).processHandle.WaitForExit(0); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
};

TEST_F(SupervisionTest, LiveHostsAreLeftAlone) {
  LogCursor empty;
  EXPECT_TRUE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(empty.Lines(),
            (std::vector<std::wstring>{L"CheckThatHostIsStillRunning: Enter", L"CheckThatHostIsStillRunning: Exit"}));
  AddHost(L"A");
  AddHost(L"B");
  StartAll();
  AddHost(L"NeverStarted");
  module->Hosts().at(L"NeverStarted").started = 0;
  const std::uint32_t pid = module->Hosts().at(L"A").processId;
  LogCursor log;
  EXPECT_TRUE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess for A returned 259"), 1u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module B already running."), 1u);
  EXPECT_EQ(log.Count(L"GetLastError returned: "), 2u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess for NeverStarted"), 0u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Enter"), 0u);
  EXPECT_EQ(module->Hosts().at(L"A").processId, pid);
}

TEST_F(SupervisionTest, EndedHostsAreStartedAgainOnePolicyPassEach) {
  AddHost(L"A");
  AddHost(L"B");
  SetLife(L"A", 0, 3);
  SetLife(L"B", 0, 4);
  StartAll();
  const std::uint32_t firstA = module->Hosts().at(L"A").processId;
  AwaitEnd(L"A");
  AwaitEnd(L"B");
  SetLife(L"A", 30000, 0);
  SetLife(L"B", 30000, 0);
  LogCursor log;
  EXPECT_FALSE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess for A returned 3"), 1u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess for B returned 4"), 1u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module A is not running."), 1u);
  const auto lines = log.Lines();
  const auto notRunning =
      std::find(lines.begin(), lines.end(), L"CheckThatHostIsStillRunning: Module A is not running.");
  ASSERT_NE(notRunning + 1, lines.end());
  EXPECT_EQ(notRunning[1].rfind(L"GetLastError returned: ", 0), 0u) << "the line carries the system's error";
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Enter"), 2u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for A"), 1u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for B"), 1u);
  EXPECT_NE(module->Hosts().at(L"A").processId, firstA);
  EXPECT_EQ(module->Hosts().at(L"A").started, 1);
  EXPECT_TRUE(module->CheckThatHostIsStillRunning());
}

TEST_F(SupervisionTest, HostKilledFromOutsideIsStartedAgain) {
  AddHost(L"Victim");
  StartAll();
  const std::uint32_t first = module->Hosts().at(L"Victim").processId;
  ASSERT_TRUE(xplat::TerminateProcessById(first, 1));
  AwaitEnd(L"Victim");
  EXPECT_FALSE(module->CheckThatHostIsStillRunning());
  EXPECT_NE(module->Hosts().at(L"Victim").processId, first);
  EXPECT_FALSE(module->Hosts().at(L"Victim").processHandle.WaitForExit(0));
}

// A failed exit-code query proves nothing: the process itself decides.
TEST_F(SupervisionTest, FailedExitCodeQueryAsksTheProcessItself) {
  AddHost(L"Queried");
  StartAll();
  auto& record = module->Hosts().at(L"Queried");
  const std::uint32_t first = record.processId;
#if defined(_WIN32)
  const std::uint32_t alive = first;  // a handle without the query right
#else
  const std::uint32_t alive = static_cast<std::uint32_t>(::getppid());  // not a child: its code cannot be read
#endif
  xplat::ProcessHandle original = std::move(record.processHandle);
  record.processHandle = xplat::OpenProcessForWaiting(alive);
  ASSERT_TRUE(record.processHandle);
  LogCursor running;
  EXPECT_TRUE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(running.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess failed"), 1u);
  EXPECT_EQ(running.Count(L"CheckThatHostIsStillRunning: Module Queried already running."), 1u);
  EXPECT_EQ(running.Count(L"ApplyHostPolicy: Enter"), 0u) << "not started a second time";

  record.processHandle = xplat::OpenProcessForWaiting(first);
  ASSERT_TRUE(original.Terminate(1));
  ASSERT_TRUE(original.WaitForExit(testing_support::kHostPatienceMs));
  std::uint32_t code = 0;
  ASSERT_TRUE(original.GetExitCode(code));  // reaps it: the second handle cannot read it any more
  LogCursor ended;
  EXPECT_FALSE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(ended.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess failed"), 1u);
  EXPECT_EQ(ended.Count(L"CheckThatHostIsStillRunning: Module Queried is not running."), 1u);
  EXPECT_NE(module->Hosts().at(L"Queried").processId, first);
}

TEST_F(SupervisionTest, HostExitingWithTheStillActiveCodeIsSeenEnded) {
#if !defined(_WIN32)
  GTEST_SKIP() << "exit codes above 255 exist only on Windows";
#endif
  AddHost(L"Odd");
  SetLife(L"Odd", 0, 259);
  StartAll();
  AwaitEnd(L"Odd");
  SetLife(L"Odd", 30000, 0);
  LogCursor log;
  EXPECT_FALSE(module->CheckThatHostIsStillRunning());
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: GetExitCodeProcess for Odd returned 259"), 1u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module Odd is not running."), 1u);
}

}  // namespace
