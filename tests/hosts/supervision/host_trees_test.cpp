// An empty tree goes once its host's record has gone; the trees of hosts
// still held stay, empty or not.

#include "hosts/supervision/host_trees.h"

#include <gtest/gtest.h>

#include "hosts/host_test_support.h"

namespace {

using HostTreesTest = testing_support::HostsTest;

TEST_F(HostTreesTest, EmptyTreesGoWithTheirHostsRecordsAlone) {
  CLogger logger(L"Custodex");
  zav::custody::HostTrees trees(true, programFolder.wstring(), logger);
  const std::wstring image = (programFolder / "qvhost.exe").wstring();
  for (const std::wstring host : {L"Alpha", L"Beta", L"Delta", L"Gamma"}) {
    xplat::StartedProcess started;
    ASSERT_TRUE(trees.Start(host, image, L"-m " + host, started));
    ASSERT_TRUE(started.process.Terminate(1));
    ASSERT_TRUE(started.process.WaitForExit(testing_support::kHostPatienceMs));
  }
  zav::custody::HostContainer hosts;
  for (const std::wstring host : {L"Alpha", L"Charlie", L"Gamma"}) hosts[host].hostName = host;
  EXPECT_EQ(trees.DropEnded(hosts), (std::vector<std::wstring>{L"Beta", L"Delta"}));
  EXPECT_EQ(trees.Names(), (std::vector<std::wstring>{L"Alpha", L"Gamma"}));
}

}  // namespace
