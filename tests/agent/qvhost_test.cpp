// The host executable as the module starts it: a real qvhost.exe process
// that reads a hand-written module list, runs the sample module and stops on
// its stop file, or exits as QVHOST_EXIT_<host> tells it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "config/agent_config.h"
#include "qvhost/host_files.h"
#include "support/log_file.h"
#include "xplat/child_process.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/system_error.h"
#include "xplat/text.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcesses;

const std::wstring kSampleFile = xplat::LibraryFileName(L"ZAVSample");

std::wstring ProgramFolder() { return xplat::FolderOf(xplat::ExecutablePath()); }

std::wstring HostProgram() { return ProgramFolder() + xplat::kPathSeparator + L"qvhost.exe"; }

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool Logged(const std::wstring& text) {
  for (const std::wstring& line : testing_support::LoggedTexts(L"ZAVSample")) {
    if (line.find(text) != std::wstring::npos) return true;
  }
  return false;
}

class QvhostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(fs::path(xplat::FolderOf(configFile)));
    xplat::WriteEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS", L"100");
  }
  void TearDown() override {
    xplat::WriteEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS", L"");
    xplat::WriteEnvironment(L"QVHOST_EXIT_" + host, L"");
    xplat::DeleteFile(configFile);
    xplat::DeleteFile(statusFile);
    xplat::DeleteFile(stopFile);
  }

  void WriteModuleList(const std::string& entries) {
    std::ofstream(fs::path(configFile), std::ios::binary)
        << "<configuration><zavmodules>" << entries << "</zavmodules></configuration>";
  }
  std::string Entry(const std::string& attributes) { return "<zavmodule " + attributes + "/>"; }
  std::string SampleEntry(const std::string& file) {
    return Entry("host=\"" + xplat::ToUtf8(host) + "\" name=\"ZAVSample\" version=\"1\" file=\"" + file +
                 "\" hash=\"h\"");
  }

  xplat::StartedProcess* StartHost() {
    xplat::StartedProcess* started = children.Start(L"-m " + host, HostProgram());
    if (!started) ADD_FAILURE() << "qvhost.exe did not start, error " << xplat::LastError();
    return started;
  }

  std::uint32_t ExitCodeOf(const xplat::StartedProcess& started) {
    std::uint32_t code = xplat::kStillActive;
    EXPECT_TRUE(started.process.WaitForExit(testing_support::kChildPatience));
    EXPECT_TRUE(started.process.GetExitCode(code));
    return code;
  }

  const std::wstring host = L"StandIn" + std::to_wstring(xplat::CurrentProcessId());
  const std::wstring configFile = zav::custody::LocateConfigFile();
  const std::wstring statusFile = qvhost::StatusFilePath(ProgramFolder(), host);
  const std::wstring stopFile = qvhost::StopFilePath(ProgramFolder(), host);
  ChildProcesses children;
};

TEST_F(QvhostTest, RunsTheFirstCompleteEntryOfItsHostUntilAskedToStop) {
  WriteModuleList(Entry("host=\"" + xplat::ToUtf8(host) + "\" name=\"Incomplete\" version=\"1\" file=\"x\"") +
                  Entry("host=\"Other\" name=\"Other\" version=\"1\" file=\"nothing.dll\" hash=\"h\"") +
                  SampleEntry("modules\\" + xplat::ToUtf8(kSampleFile)));
  qvhost::CreateEmptyFile(stopFile);  // left over from an earlier run: not for this one
  xplat::StartedProcess* started = StartHost();
  ASSERT_NE(started, nullptr);

  std::optional<qvhost::HostStatus> status;
  ASSERT_TRUE(Eventually([&] { return (status = qvhost::ReadHostStatus(statusFile)).has_value(); }));
  EXPECT_EQ(status->processId, started->processId);
  EXPECT_FALSE(status->exitCode);
  const std::wstring process = L"(process " + std::to_wstring(started->processId);
  ASSERT_TRUE(Eventually([&] { return Logged(L"ZAVSample: heartbeat " + process + L")"); }));
  EXPECT_TRUE(Logged(L"ZAVSample: started " + process));

  ASSERT_TRUE(qvhost::CreateEmptyFile(stopFile));
  EXPECT_EQ(ExitCodeOf(*started), 0u);
  EXPECT_TRUE(Logged(L"ZAVSample: stopped " + process + L")"));
  EXPECT_FALSE(xplat::PathExists(stopFile));
  status = qvhost::ReadHostStatus(statusFile);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->exitCode, 0);
}

TEST_F(QvhostTest, ExitsWithTheCodeTheEnvironmentGivesWithoutRunningAnything) {
  WriteModuleList(SampleEntry(xplat::ToUtf8(kSampleFile)));
  xplat::WriteEnvironment(L"QVHOST_EXIT_" + host, L"7");
  xplat::StartedProcess* atOnce = StartHost();
  ASSERT_NE(atOnce, nullptr);
  EXPECT_EQ(ExitCodeOf(*atOnce), 7u);

  xplat::WriteEnvironment(L"QVHOST_EXIT_" + host, L"3@300");
  const auto before = std::chrono::steady_clock::now();
  xplat::StartedProcess* later = StartHost();
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(ExitCodeOf(*later), 3u);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_FALSE(xplat::PathExists(statusFile));

  xplat::WriteEnvironment(L"QVHOST_EXIT_" + host, L"3@soon");
  xplat::StartedProcess* mistaken = StartHost();
  ASSERT_NE(mistaken, nullptr);
  EXPECT_EQ(ExitCodeOf(*mistaken), 1u);
}

TEST_F(QvhostTest, ExitsWithOneWhenItsModuleCannotRun) {
  for (const std::string& list : {Entry("host=\"Other\" name=\"A\" version=\"1\" file=\"a.dll\" hash=\"h\""),
                                  SampleEntry("modules\\missing-module.dll"), std::string("<broken")}) {
    WriteModuleList(list);
    xplat::StartedProcess* started = StartHost();
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(ExitCodeOf(*started), 1u) << list;
    const std::optional<qvhost::HostStatus> status = qvhost::ReadHostStatus(statusFile);
    ASSERT_TRUE(status) << list;
    EXPECT_EQ(status->exitCode, 1) << list;
  }
}

}  // namespace
