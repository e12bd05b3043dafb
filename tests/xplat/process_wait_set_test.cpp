#include "xplat/process_wait_set.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

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
  EXPECT_EQ(set.Ended(), std::vector<const xplat::ProcessHandle*>{&children[1]}) << "which one ended";
  EXPECT_EQ(set.Wait(0), Woken::ProcessEnded) << "an ended process stays ended until it is no longer watched";
  EXPECT_TRUE(set.Watch({&children[0]}));
  EXPECT_EQ(set.WatchedCount(), 1u);
  EXPECT_EQ(set.Wait(0), Woken::TimedOut);
}

// A walk gives the same handles again, as a rule, and then changes nothing;
// a change made since, or a handle in another's place, is not held.
TEST(ProcessWaitSetTest, HoldsTheHandlesLastGivenUntilOneChanges) {
  ChildProcesses children;
  xplat::StartedProcess* first = children.Start(L"sleep 60000 0");
  xplat::StartedProcess* second = children.Start(L"sleep 60000 0");
  xplat::StartedProcess* third = children.Start(L"sleep 60000 0");
  ASSERT_TRUE(first && second && third);
  auto signal = xplat::CreateEventSignal(L"module");
  xplat::ProcessWaitSet set(*signal);
  const std::vector<const xplat::ProcessHandle*> two = {&first->process, &second->process};
  EXPECT_FALSE(set.Holds(two));
  ASSERT_TRUE(set.Watch(two));
  EXPECT_TRUE(set.Holds(two));
  set.Remove(second->process);
  EXPECT_FALSE(set.Holds(two)) << "removed since";
  ASSERT_TRUE(set.Watch(two));
  ASSERT_TRUE(second->process.Terminate(1) && second->process.WaitForExit(kChildPatience));
  second->process = std::move(third->process);
  EXPECT_FALSE(set.Holds(two)) << "another process's handle at the same address";
  ASSERT_TRUE(set.Watch(two));
  EXPECT_TRUE(set.Holds(two));
  ASSERT_TRUE(second->process.Terminate(1));
  EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
  EXPECT_EQ(set.Ended(), std::vector<const xplat::ProcessHandle*>{&second->process});
}

#if !defined(_WIN32)
std::size_t OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}
#endif

// On Linux the set watches the handles' own pidfds, so a watched process
// costs no descriptor more; a handle that closes leaves the set (on Windows
// at the next Watch), and the set that goes first leaves its handles be.
TEST(ProcessWaitSetTest, WatchesTheHandlesThemselvesAndForgetsOneThatCloses) {
  ChildProcesses children;
  xplat::StartedProcess* child = children.Start(L"sleep 60000 0");
  ASSERT_NE(child, nullptr);
  xplat::ProcessHandle other = xplat::OpenProcessForWaiting(child->processId);
  auto signal = xplat::CreateEventSignal(L"module");
  xplat::ProcessWaitSet set(*signal);
#if !defined(_WIN32)
  const std::size_t descriptors = OpenDescriptors();
  ASSERT_TRUE(set.Watch({&child->process, &other}));
  EXPECT_EQ(OpenDescriptors(), descriptors);
  other.Close();
  EXPECT_EQ(set.WatchedCount(), 1u);
#else
  ASSERT_TRUE(set.Watch({&child->process, &other}));
  other.Close();
#endif
  ASSERT_TRUE(set.Watch({&child->process}));
  EXPECT_EQ(set.WatchedCount(), 1u);
  ASSERT_TRUE(child->process.Terminate(1));
  EXPECT_EQ(set.Wait(kChildPatience), Woken::ProcessEnded);
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
