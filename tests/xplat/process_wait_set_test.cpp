#include "xplat/process_wait_set.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "xplat/child_process.h"

namespace {

using testing_support::ChildProcesses;
using testing_support::kChildPatience;
using Woken = xplat::ProcessWaitSet::Woken;

std::vector<const xplat::ProcessHandle*> All(const ChildProcesses& children) {
  std::vector<const xplat::ProcessHandle*> all;
  for (std::size_t i = 0; i < children.Count(); ++i) all.push_back(&children[i]);
  return all;
}

TEST(ProcessWaitSetTest, WakesForTheSignalOrAnEndedProcessOnly) {
  ChildProcesses children;
  for (int i = 0; i < 2; ++i) ASSERT_NE(children.Start(L"sleep 60000 0"), nullptr);
  auto signal = xplat::CreateEventSignal(L"module");
  xplat::ProcessWaitSet set(*signal);
  EXPECT_TRUE(set.Watch(All(children)));
  EXPECT_EQ(set.WatchedCount(), 2u);
  {
    testing_support::FakeClock clock;
    EXPECT_EQ(set.Wait(30000), Woken::TimedOut);
    EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
  }
  signal->Set();
  signal->Set();
  EXPECT_EQ(set.Wait(kChildPatience), Woken::Signal);
  EXPECT_EQ(set.Wait(0), Woken::TimedOut) << "the wait took the signal";

  ASSERT_TRUE(children[1].Terminate(1));
  EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
  EXPECT_EQ(set.Wait(0), Woken::ProcessEnded) << "an ended process stays ended until it is no longer watched";
  EXPECT_TRUE(set.Watch({&children[0]}));
  EXPECT_EQ(set.WatchedCount(), 1u);
  EXPECT_EQ(set.Wait(0), Woken::TimedOut);
}

// The set keeps its own handles: the watched process's own may close.
TEST(ProcessWaitSetTest, OutlivesTheHandlesItWasGiven) {
  ChildProcesses children;
  xplat::StartedProcess* child = children.Start(L"sleep 60000 0");
  ASSERT_NE(child, nullptr);
  const std::uint32_t pid = child->processId;
  auto signal = xplat::CreateEventSignal(L"module");
  xplat::ProcessWaitSet set(*signal);
  ASSERT_TRUE(set.Watch({&child->process}));
  child->process.Close();
  ASSERT_TRUE(xplat::TerminateProcessById(pid, 1));
  EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
  EXPECT_TRUE(set.Watch({}));
  EXPECT_EQ(set.WatchedCount(), 0u);
}

// Windows waits on at most 64 objects at once; the processes beyond are
// watched by registered waits, undone when they leave the set or the set goes.
TEST(ProcessWaitSetTest, WatchesMoreProcessesThanOneKernelWaitTakes) {
  ChildProcesses children;
  for (int i = 0; i < 70; ++i) ASSERT_NE(children.Start(L"sleep 60000 0"), nullptr);
  auto signal = xplat::CreateEventSignal(L"module");
  {
    xplat::ProcessWaitSet set(*signal);
    ASSERT_TRUE(set.Watch(All(children)));
    EXPECT_EQ(set.WatchedCount(), 70u);
    EXPECT_EQ(set.Wait(0), Woken::TimedOut);
    ASSERT_TRUE(children[69].Terminate(1));
    EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
    std::vector<const xplat::ProcessHandle*> running = All(children);
    running.pop_back();
    ASSERT_TRUE(set.Watch(running));
    EXPECT_EQ(set.Wait(0), Woken::TimedOut);
    ASSERT_TRUE(children[68].Terminate(1));
    EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
  }
  for (std::size_t i = 0; i < 68; ++i) children[i].Terminate(1);  // after the set is gone: nothing is called back
  signal->Set();
  EXPECT_TRUE(signal->Wait(0));
}

}  // namespace
