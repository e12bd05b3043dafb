#include "xplat/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>

#include "support/fake_clock.h"
#include "support/test_environment.h"
#include "xplat/child_process.h"
#include "xplat/process_limits.h"
#include "xplat/process_list.h"
#include "xplat/process_tree.h"
#include "xplat/system_error.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using testing_support::ChildProcesses;
using testing_support::kChildPatience;
using testing_support::Quoted;

std::uint32_t ExitCodeOf(const xplat::ProcessHandle& process) {
  std::uint32_t code = 0;
  EXPECT_TRUE(process.GetExitCode(code));
  return code;
}

std::vector<std::wstring> Lines(const std::string& utf8) {
  std::vector<std::wstring> lines;
  std::istringstream in(utf8);
  for (std::string line; std::getline(in, line);) lines.push_back(xplat::FromUtf8(line));
  return lines;
}

TEST(SplitCommandLineTest, FollowsTheCRunTimeRules) {
  using Arguments = std::vector<std::wstring>;
  const struct {
    const wchar_t* line;
    Arguments arguments;
  } cases[] = {
      {L"", {}},
      {L" \t ", {}},
      {L"  prog a\tb  c  ", {L"prog", L"a", L"b", L"c"}},
      {L"\"/opt/host folder/QVH-Host.exe\" -m Host Name", {L"/opt/host folder/QVH-Host.exe", L"-m", L"Host", L"Name"}},
      {L"prog \"a b\" c\"d e\"f", {L"prog", L"a b", L"cd ef"}},
      {L"prog a\\b c\\\\ d\\", {L"prog", L"a\\b", L"c\\\\", L"d\\"}},
      {L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},
      {L"prog a\\\\\\\"b c", {L"prog", L"a\\\"b", L"c"}},
      {L"prog \"\" x", {L"prog", L"", L"x"}},
      {L"prog \"a\"\" b\" c", {L"prog", L"a\" b", L"c"}},
      {L"prog a\"\"b", {L"prog", L"ab"}},
      {L"\"C:\\Program Files\\App\\\" x", {L"C:\\Program Files\\App\\", L"x"}},
      {L"C:\\a\\\"b c\" d", {L"C:\\a\\b c", L"d"}},
  };
  for (const auto& c : cases) EXPECT_EQ(xplat::SplitCommandLine(c.line), c.arguments) << xplat::ToUtf8(c.line);
}

TEST(ProcessTest, RunningChildIsStillActiveUntilTerminated) {
  ChildProcesses children;
  const xplat::StartedProcess* child = children.Start(L"sleep 60000 0");
  ASSERT_NE(child, nullptr);
  EXPECT_NE(child->processId, 0u);
  EXPECT_NE(child->processId, xplat::CurrentProcessId());
  EXPECT_NE(child->threadId, 0u);
#if defined(_WIN32)
  EXPECT_TRUE(child->thread);
#else
  EXPECT_FALSE(child->thread);
#endif
  EXPECT_EQ(ExitCodeOf(child->process), xplat::kStillActive);
  {
    testing_support::FakeClock clock;
    EXPECT_FALSE(child->process.WaitForExit(30000));
    EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
  }
  EXPECT_TRUE(child->process.Terminate(3));
  ASSERT_TRUE(child->process.WaitForExit(kChildPatience));
  EXPECT_EQ(ExitCodeOf(child->process), 3u);
  EXPECT_EQ(ExitCodeOf(child->process), 3u);
}

TEST(ProcessTest, EndedChildKeepsItsOwnExitCode) {
  ChildProcesses children;
  const xplat::StartedProcess* child = children.Start(L"exit 42");
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->process.WaitForExit(kChildPatience));
  EXPECT_EQ(ExitCodeOf(child->process), 42u);
  // Once read, the code stays the child's own, whatever later gets its id.
  child->process.Terminate(9);
  EXPECT_EQ(ExitCodeOf(child->process), 42u);
  {
    testing_support::FakeClock clock;
    EXPECT_TRUE(child->process.WaitForExit(1000));
    EXPECT_TRUE(clock.TimedOutWaits().empty());
  }
}

TEST(ProcessTest, ClosedHandleIsEmptyAndAnEndedChildIsReaped) {
  ChildProcesses children;
  xplat::StartedProcess* child = children.Start(L"exit 0");
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->process.WaitForExit(kChildPatience));
  child->process.Close();
  child->thread.Close();
  std::uint32_t code = 0;
  EXPECT_FALSE(child->process);
  EXPECT_FALSE(child->process.GetExitCode(code));
  EXPECT_FALSE(child->process.WaitForExit(0));
  EXPECT_FALSE(child->process.Terminate(1));
#if !defined(_WIN32)
  EXPECT_EQ(::waitpid(static_cast<pid_t>(child->processId), nullptr, WNOHANG), -1) << "left a zombie";
  EXPECT_EQ(errno, ECHILD);
#endif
}

TEST(ProcessTest, MissingOrUnrunnableImageIsAFailure) {
  const std::wstring folder = testing_support::TestFolder().wstring();
  xplat::StartedProcess started;
  xplat::SetLastError(0);
  EXPECT_FALSE(xplat::StartProgram(folder + xplat::kPathSeparator + L"absent.exe", L"-m h", started));
  EXPECT_EQ(xplat::LastError(), 2u);  // ERROR_FILE_NOT_FOUND, ENOENT
  EXPECT_FALSE(started.process);
#if !defined(_WIN32)
  const std::wstring text = folder + L"/not-a-program";
  std::ofstream(xplat::ToUtf8(text)) << "text";
  EXPECT_FALSE(xplat::StartProgram(text, L"", started));
  EXPECT_EQ(xplat::LastError(), static_cast<xplat::ErrorCode>(EACCES));
#endif
}

TEST(ProcessTest, ArgumentsArriveAsSplit) {
  const std::filesystem::path folder = testing_support::TestFolder() / "host folder";
  std::filesystem::create_directory(folder);
  const std::wstring image = (folder / "QVH-Host One.exe").wstring();
  const std::wstring output = (folder / "arguments.txt").wstring();
  ASSERT_TRUE(xplat::CopyFile(testing_support::ChildProgram(), image));

  ChildProcesses children;
  const xplat::StartedProcess* child =
      children.Start(L"args " + Quoted(output) + L" -m Host One \"two words\" a\\\"b H\u00f4te", image);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->process.WaitForExit(kChildPatience));
  EXPECT_EQ(ExitCodeOf(child->process), 0u);
  EXPECT_EQ(
      Lines(testing_support::ReadFile(output)),
      (std::vector<std::wstring>{image, L"args", output, L"-m", L"Host", L"One", L"two words", L"a\"b", L"H\u00f4te"}));
}

#if !defined(_WIN32)
// A program starts with the limit of open descriptors this process had
// before it raised its own, wherever it is placed.
TEST(ProcessTest, AProgramStartsWithTheDescriptorLimitBeforeTheRaise) {
  rlimit limits{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
  const rlim_t usual = std::min<rlim_t>(1024, limits.rlim_max - 1);
  rlimit lowered{usual, limits.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  ASSERT_TRUE(xplat::RaiseOpenFileLimit());
  const std::filesystem::path folder = testing_support::CreateTestFolder();
  std::vector<xplat::ProcessTree> trees;
  trees.push_back(xplat::ProcessTree());
  for (const bool processGroups : {false, true}) {
    trees.push_back(xplat::ProcessTree::Create(L"limit-" + std::to_wstring(::getpid()), processGroups));
  }
  for (std::size_t way = 0; way < trees.size(); ++way) {
    const std::filesystem::path report = folder / std::to_string(way);
    const std::wstring arguments = L"limit " + Quoted(report.wstring());
    xplat::StartedProcess child;
    ASSERT_TRUE(way == 0 ? xplat::StartProgram(testing_support::ChildProgram(), arguments, child)
                         : trees[way].Start(testing_support::ChildProgram(), arguments, child));
    ASSERT_TRUE(child.process.WaitForExit(kChildPatience));
    rlim_t started = 0;
    EXPECT_TRUE(std::ifstream(report) >> started);
    EXPECT_EQ(started, usual) << "way " << way;
  }
}
#endif

TEST(ProcessTest, TerminatesByProcessId) {
  ChildProcesses children;
  const xplat::StartedProcess* child = children.Start(L"sleep 60000 0");
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(xplat::TerminateProcessById(child->processId, 5));
  ASSERT_TRUE(child->process.WaitForExit(kChildPatience));
#if defined(_WIN32)
  EXPECT_EQ(ExitCodeOf(child->process), 5u);
#else
  EXPECT_EQ(ExitCodeOf(child->process), 128u + SIGKILL);
#endif
  // Id 0 is no process: never this process or its group.
  EXPECT_FALSE(xplat::TerminateProcessById(0, 1));
}

// How a process ended, in words: Windows says "crashed" for every code of
// the system's errors (0xC…), named where it is a known crash, with the
// code beside it, and "exited" for every other code; Linux the signal of the wait's own
// information, never a code read as one.
TEST(ProcessExitTest, SaysHowAProcessEnded) {
#if defined(_WIN32)
  for (const std::uint32_t code : {0u, 3u, 0x7FFFFFFFu, 0xBFFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(xplat::DescribeExit({code}), L"exited") << code;
  }
  for (const std::uint32_t code : {0xC0000005u, 0xC00000FDu, 0xC0000409u, 0xC0000374u, 0xC000001Du, 0xC0000094u}) {
    const std::wstring said = xplat::DescribeExit({code});
    EXPECT_EQ(said.rfind(L"crashed: ", 0), 0u) << said;
    EXPECT_NE(said.find(L" (0xC0000"), std::wstring::npos) << said;
  }
  EXPECT_EQ(xplat::DescribeExit({0xC0000139}), L"crashed (0xC0000139)");
  EXPECT_EQ(xplat::DescribeExit({0xCFFFFFFF}), L"crashed (0xCFFFFFFF)");
#endif
  const std::pair<xplat::ProcessExit, const wchar_t*> exits[] = {
#if defined(_WIN32)
#else
      {{0}, L"exited"},
      {{139}, L"exited"},
      {{139, SIGSEGV}, L"killed by SIGSEGV"},
      {{134, SIGABRT, true}, L"killed by SIGABRT, core dumped"},
#endif
      {{1, 0, false, true}, L"ended by the module"},
  };
  for (const auto& [exit, said] : exits) EXPECT_EQ(xplat::DescribeExit(exit), said) << exit.code;
}

#if !defined(_WIN32)
rlimit CoreLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_CORE, &limit);
  return limit;
}
#endif

TEST(ProcessExitTest, IsReadFromTheEndedProcess) {
  ChildProcesses children;
  const xplat::StartedProcess* exited = children.Start(L"exit 139");
  const xplat::StartedProcess* ended = children.Start(L"sleep 60000 0");
  ASSERT_TRUE(exited && ended);
  xplat::ProcessExit exit;
  EXPECT_FALSE(ended->process.GetExit(exit)) << "it runs";
  ASSERT_TRUE(ended->process.Terminate(1));
  ASSERT_TRUE(exited->process.WaitForExit(kChildPatience));
  exited->process.Terminate(1);  // too late: it ended by itself
  ASSERT_TRUE(exited->process.GetExit(exit));
  EXPECT_EQ(xplat::DescribeExit(exit), L"exited");
  ASSERT_TRUE(ended->process.WaitForExit(kChildPatience) && ended->process.GetExit(exit));
  EXPECT_EQ(xplat::DescribeExit(exit), L"ended by the module");
#if !defined(_WIN32)
  // SIGABRT: the sanitizers' run-time catches a SIGSEGV sent to a child of
  // theirs and exits with a code of its own.
  // It may dump core: where the dump is a file in its folder, the end says so.
  const rlimit noCore = CoreLimit();
  rlimit core = noCore;
  core.rlim_cur = core.rlim_max;
  ::setrlimit(RLIMIT_CORE, &core);
  const xplat::StartedProcess* killed = children.Start(L"sleep 60000 0");
  ::setrlimit(RLIMIT_CORE, &noCore);
  ASSERT_TRUE(killed);
  ::kill(static_cast<pid_t>(killed->processId), SIGABRT);
  ASSERT_TRUE(killed->process.WaitForExit(kChildPatience) && killed->process.GetExit(exit));
  EXPECT_EQ(exit.signal, SIGABRT);
  EXPECT_EQ(xplat::DescribeExit(exit).rfind(L"killed by SIGABRT", 0), 0u);
  std::error_code ignored;
  for (const std::string& name : {std::string("core"), "core." + std::to_string(killed->processId)}) {
    if (std::filesystem::remove(name, ignored)) {
      EXPECT_TRUE(exit.coreDumped) << "a dump was written";
    }
  }
#else
  const xplat::StartedProcess* crashed = children.Start(L"exit -1073741819");
  ASSERT_TRUE(crashed && crashed->process.WaitForExit(kChildPatience) && crashed->process.GetExit(exit));
  EXPECT_EQ(xplat::DescribeExit(exit), L"crashed: access violation (0xC0000005)");
#endif
}

TEST(WaitForAllProcessesTest, WaitsForMoreChildrenThanOneSystemWaitTakes) {
  ChildProcesses children;
  for (int i = 0; i < 65; ++i) ASSERT_NE(children.Start(L"exit 0"), nullptr);
  const xplat::ProcessHandle empty;
  std::vector<const xplat::ProcessHandle*> all{&empty};
  for (std::size_t i = 0; i < children.Count(); ++i) all.push_back(&children[i]);
  EXPECT_EQ(xplat::WaitForAllProcesses(all, kChildPatience), xplat::WaitAllResult::AllEnded);

  // One still running at each end of the list: the budget is spent once in all.
  ASSERT_NE(children.Start(L"sleep 60000 0"), nullptr);
  ASSERT_NE(children.Start(L"sleep 60000 0"), nullptr);
  all.insert(all.begin(), &children[children.Count() - 2]);
  all.push_back(&children[children.Count() - 1]);
  testing_support::FakeClock clock;
  EXPECT_EQ(xplat::WaitForAllProcesses(all, 1000), xplat::WaitAllResult::TimedOut);
  const std::vector<std::uint32_t> waits = clock.TimedOutWaits();
  EXPECT_LE(std::accumulate(waits.begin(), waits.end(), 0u), 1000u);
  EXPECT_EQ(xplat::WaitForAllProcesses({}, 1000), xplat::WaitAllResult::AllEnded);
}

}  // namespace

namespace {

using testing_support::ChildProcesses;
using testing_support::kChildPatience;

// Starts the program from `image` with `ready FILE 60000` (or the command
// given) and the extra arguments, and waits until it has said it runs, and
// so has its command line.
const xplat::StartedProcess* StartReady(ChildProcesses& children, const std::wstring& image, const std::wstring& extra,
                                        const std::wstring& prefix = L"") {
  static int serial = 0;
  const std::filesystem::path ready = testing_support::TestFolder() / "ready" / std::to_string(++serial);
  std::filesystem::create_directories(ready.parent_path());
  const std::wstring command = prefix.empty() ? L"ready " : prefix;
  const xplat::StartedProcess* child =
      children.Start(command + testing_support::Quoted(ready.wstring()) + L" 60000 " + extra, image);
  const auto said = [&] { return std::filesystem::exists(ready) && std::filesystem::file_size(ready) > 0; };
  for (int i = 0; child && !said() && i < 1000; ++i) xplat::Sleep(10);
  return child && said() ? child : nullptr;
}

// How hosts left running by an earlier service are found and taken over:
// by their image (a replaced file still counts), held from the start of
// their examination.
TEST(ProcessesRunningTest, FindsTheProcessesOfOneImageWithTheirArguments) {
  const std::filesystem::path folder = testing_support::TestFolder() / "running";
  std::filesystem::create_directories(folder);
  const std::wstring image = (folder / "QVH-Two Words.exe").wstring();
  ASSERT_TRUE(xplat::CopyFile(testing_support::ChildProgram(), image));
  ChildProcesses children;
  const xplat::StartedProcess* host = StartReady(children, image, L"-m Two Words");
  ASSERT_NE(host, nullptr);
  ASSERT_NE(StartReady(children, testing_support::ChildProgram(), L""), nullptr);  // another image
#if !defined(_WIN32)
  ASSERT_TRUE(xplat::DeleteFile(image) && xplat::CopyFile(testing_support::ChildProgram(), image));
#endif
  const std::vector<xplat::RunningProgram> found = xplat::OwnProcessesRunning({image + L".absent", image});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].processId, host->processId);
  EXPECT_EQ(found[0].image, image);
  ASSERT_EQ(found[0].arguments.size(), 6u);
  EXPECT_EQ(std::vector<std::wstring>(found[0].arguments.begin() + 3, found[0].arguments.end()),
            (std::vector<std::wstring>{L"-m", L"Two", L"Words"}));
  EXPECT_FALSE(found[0].process.HasEnded());
  EXPECT_TRUE(xplat::OwnProcessesRunning({image + L".absent"}).empty());
}

#if !defined(_WIN32)
// A process of another user is never the caller's, whatever it runs.
TEST(ProcessesRunningTest, ProcessesOfOtherUsersAreNotFound) {
  if (::geteuid() != 0) GTEST_SKIP() << "starting a process as another user takes root";
  const std::filesystem::path folder = testing_support::TestFolder() / "others";
  std::filesystem::create_directories(folder);
  const std::wstring image = (folder / "QVH-Alpha.exe").wstring();
  ASSERT_TRUE(xplat::CopyFile(testing_support::ChildProgram(), image));
  ChildProcesses children;
  ASSERT_NE(StartReady(children, image, L"-m Alpha", L"ready-as 65534 "), nullptr);
  EXPECT_TRUE(xplat::OwnProcessesRunning({image}).empty());
}
#endif

// A handle opened to supervise a running process reads it as still active;
// once it has ended, its code, where the system tells it: on Linux only of
// a child of this process, which the handle then reaps. One opened to wait
// reads no code at all.
TEST(ProcessesRunningTest, HandlesOpenedByIdReadWhatTheyMay) {
  ChildProcesses children;
  const xplat::StartedProcess* child = children.Start(L"sleep 60000 0");
  ASSERT_NE(child, nullptr);
  const xplat::ProcessHandle supervisor = xplat::OpenProcessToSupervise(child->processId);
  const xplat::ProcessHandle waiter = xplat::OpenProcessForWaiting(child->processId);
  std::uint32_t code = 0;
  EXPECT_TRUE(supervisor.GetExitCode(code));
  EXPECT_EQ(code, xplat::kStillActive);
  EXPECT_FALSE(waiter.GetExitCode(code));
  ASSERT_TRUE(child->process.Terminate(4));
  ASSERT_TRUE(supervisor.WaitForExit(kChildPatience));
  EXPECT_TRUE(waiter.WaitForExit(0));
  EXPECT_TRUE(supervisor.GetExitCode(code));
#if defined(_WIN32)
  EXPECT_EQ(code, 4u);
#else
  EXPECT_EQ(code, 128u + 9) << "killed";
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(child->processId))) << "reaped, no zombie";
#endif
}

}  // namespace
