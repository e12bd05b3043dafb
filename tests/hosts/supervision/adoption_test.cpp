// Which running process is a host's, for adoption.

#include "hosts/supervision/adoption.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hosts/host_test_support.h"
#include "xplat/process.h"
#include "xplat/process_list.h"
#include "xplat/text.h"

namespace {

TEST(AdoptionTest, ProcessOfAHostRunsItsCopyOrTheSharedImageWithTheWholeName) {
  const std::wstring copy = L"/agent/QVH-Two Words.exe";
  const std::wstring shared = L"/agent/qvhost.exe";
  struct Case {
    std::wstring image;
    std::vector<std::wstring> arguments;
    bool ofTheHost;
  };
  const Case cases[] = {
      {copy, {L"-m", L"Two", L"Words"}, true},
      {shared, {L"-m", L"Two", L"Words"}, true},
      {copy, {L"-m", L"Two"}, false},
      {copy, {L"-m", L"Two", L"Words", L"More"}, false},
      {copy, {L"-x", L"Two", L"Words"}, false},
      {copy, {L"Two", L"Words"}, false},
      {L"/agent/QVH-Two.exe", {L"-m", L"Two", L"Words"}, false},
      {L"/elsewhere/qvhost.exe", {L"-m", L"Two", L"Words"}, false},
  };
  for (const Case& test : cases) {
    xplat::RunningProgram program;
    program.image = test.image;
    program.arguments = test.arguments;
    EXPECT_EQ(zav::custody::IsProcessOfHost(program, L"Two Words", copy, shared), test.ofTheHost)
        << xplat::ToUtf8(test.image) << " with " << test.arguments.size() << " arguments";
  }
}

using AdoptionOfProcessesTest = testing_support::HostsTest;

// The look holds what it found open, but a process may end before its host
// is taken over: it is passed over for one that still runs.
TEST_F(AdoptionOfProcessesTest, ProcessThatEndedSinceTheLookIsNotTakenOver) {
  xplat::StartedProcess earlier[2];
  for (xplat::StartedProcess& process : earlier) {
    // Wine fails a start now and then.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
      started = xplat::StartProgram((programFolder / "qvhost.exe").wstring(), L"-m Alpha", process);
    }
    ASSERT_TRUE(started);
  }
  // A start returns once the child execs, which on Linux is before its
  // arguments can be read: a look then would pass over it.
  const std::vector<std::wstring> image{(programFolder / "qvhost.exe").wstring()};
  for (int i = 0; i < 500 && xplat::OwnProcessesRunning(image).size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  zav::custody::HostContainer hosts;
  hosts[L"Alpha"].hostName = L"Alpha";
  CLogger logger(L"Custodex");
  zav::custody::Adoption adoption(true, logger);
  zav::custody::Adoption::Candidates candidates = adoption.LookForHosts(hosts);
  ASSERT_EQ(candidates.programs.size(), 2u);
  xplat::StartedProcess& ended = earlier[earlier[0].processId == candidates.programs.front().processId ? 0 : 1];
  ASSERT_TRUE(ended.process.Terminate(1) && ended.process.WaitForExit(testing_support::kHostPatienceMs));

  EXPECT_TRUE(adoption.Adopt(hosts.at(L"Alpha"), candidates));
  EXPECT_NE(hosts.at(L"Alpha").processId, ended.processId);
  for (xplat::StartedProcess& process : earlier) {
    process.process.Terminate(1);
    process.process.WaitForExit(testing_support::kHostPatienceMs);
  }
}

}  // namespace
