#include <gtest/gtest.h>

#include <thread>

#include "hosts/host_test_support.h"
#include "xplat/process.h"

namespace {

using testing_support::HostsTest;
using testing_support::LogCursor;

class HostRegistryTest : public HostsTest {};

TEST_F(HostRegistryTest, DuplicateAddLeavesTheStoredRecordAndItsProcessAlone) {
  zav::custody::HostRecord first;
  first.hostName = L"Alpha";
  first.moduleName = L"First";
  first.started = 1;
  LogCursor log;
  EXPECT_TRUE(module->Add(first));
  EXPECT_EQ(first.started, 0) << "the caller's copy is marked not started";
  EXPECT_EQ(module->Hosts().at(L"Alpha").started, 0);
  ASSERT_EQ(module->ApplyHostPolicy(), 0);
  const std::uint32_t pid = module->Hosts().at(L"Alpha").processId;

  zav::custody::HostRecord second;
  second.hostName = L"Alpha";
  second.moduleName = L"Second";
  LogCursor again;
  EXPECT_FALSE(module->Add(second));
  EXPECT_EQ(again.Lines(), (std::vector<std::wstring>{L"Add: Enter", L"Add: Exit"}));
  const auto& stored = module->Hosts().at(L"Alpha");
  EXPECT_EQ(stored.moduleName, L"First");
  EXPECT_EQ(stored.started, 1);
  EXPECT_EQ(stored.processId, pid);
  EXPECT_TRUE(stored.processHandle);
  EXPECT_EQ(log.Count(L"Add: insert Alpha into HostContainer"), 1u);
}

TEST_F(HostRegistryTest, NamesAreCaseSensitiveAndWalkedInCodeUnitOrder) {
  for (const wchar_t* name : {L"b", L"a", L"C", L"Host", L"HOST"}) AddHost(name);
  std::vector<std::wstring> order;
  for (const auto& [name, record] : module->Hosts()) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::wstring>{L"C", L"HOST", L"Host", L"a", L"b"}));

  LogCursor log;
  module->Delete(L"hOsT");
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Delete: Enter", L"Delete: Exit"}));
  EXPECT_EQ(module->Hosts().size(), 5u);
}

TEST_F(HostRegistryTest, DeleteRemovesTheRecordAndLeavesTheHostRunningWatched) {
  AddHost(L"Keep");
  ASSERT_EQ(module->ApplyHostPolicy(), 0);
  const std::uint32_t pid = module->Hosts().at(L"Keep").processId;
  LogCursor log;
  module->Delete(L"Keep");
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Delete: Enter", L"Delete: removed Keep from HostContainer",
                                                    L"Host Keep (process " + std::to_wstring(pid) +
                                                        L") runs on without its record; it is watched until it ends.",
                                                    L"Delete: Exit"}));
  EXPECT_TRUE(module->Hosts().empty());
  ASSERT_EQ(module->DetachedProcesses().size(), 1u);
  EXPECT_EQ(module->DetachedProcesses()[0].processId, pid);
  EXPECT_FALSE(module->DetachedProcesses()[0].processHandle.HasEnded()) << "the host outlives its record";
}

}  // namespace
