#pragma once
// The module's event loop, run in this process on a thread of its own and on
// a manual clock: its waits last as long as a test lets them, so their
// lengths, and the order of what happens around them, can be asserted. The
// hosts are fake hosts that live 30 real seconds unless told otherwise.

#include <atomic>
#include <thread>

#include "hosts/host_test_support.h"
#include "support/manual_clock.h"
#include "xplat/process.h"
#include "xplat/text.h"

namespace testing_support {

inline constexpr std::uint32_t kWakeUpMs = 30000;
inline constexpr std::uint32_t kHostExitWaitMs = 20000;
inline constexpr char kModuleFile[] = "Hosted.dll";  // beside the program, never loaded into it
inline constexpr wchar_t kPass[] = L"CheckThatHostIsStillRunning: Enter";
#if defined(_WIN32)
inline constexpr int kKilledExitCode = 1;
#else
inline constexpr int kKilledExitCode = 128 + 9;  // SIGKILL, as the parent sees it
#endif

// True when the expected lines appear in this order (others may come between).
bool InOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& expected);
// The lines from the first one equal to `from` on.
std::vector<std::wstring> From(const std::vector<std::wstring>& lines, const std::wstring& from);

class ModuleLoopTest : public HostsTest {
 protected:
  ModuleLoopTest() { WriteFile(programFolder / kModuleFile, "module"); }
  ~ModuleLoopTest() override {
    Stop();
    Disable();
    std::error_code ignored;
    std::filesystem::remove(programFolder / kModuleFile, ignored);
  }

  // Switches features on ("WakeOnHostExit", ...) for a module made anew;
  // before Start.
  void Enable(std::initializer_list<const wchar_t*> features);
  // Removes the values Enable set: under Wine a test program's tests share
  // one registry.
  void Disable();

  void Start() {
    ended = false;
    const std::uint64_t mark = clock.Mark();
    loop = std::thread([this] {
      module->Execute();
      ended = true;
    });
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "the loop waits for events";
  }
  // Stops the loop, letting whatever wait it is in run out.
  void Stop() {
    if (!loop.joinable()) return;
    service.Send(L"ZAV.Service.TerminateThread");
    while (!ended) {
      clock.Advance(kWakeUpMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    loop.join();
  }
  // Sends a record and waits until the loop waits for the next one.
  void Deliver(const std::wstring& fullName, const std::wstring& parameter = L"") {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(service.Send(fullName, parameter));
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  }
  // Sends a policy and waits until the loop waits again, for nextWaitMs.
  void ApplyPolicy(const std::vector<std::wstring>& names, std::uint32_t nextWaitMs = kWakeUpMs) {
    std::string entries;
    for (const std::wstring& name : names) entries += ModuleEntry(xplat::ToUtf8(name), kModuleFile);
    WriteModuleList(entries);
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(service.SendPolicy(PolicyDocument(names)));
    ASSERT_TRUE(clock.AwaitWait(nextWaitMs, mark));
  }
  // Lets the loop's wait for events run out: one idle wake-up.
  void IdleWakeUp() {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(clock.ElapseWait(kWakeUpMs));
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  }
  // Removes a host whose process does not end: the removal's wait runs out.
  void RemoveRunningHost(const std::wstring& name) {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", name));
    ASSERT_TRUE(clock.ElapseWait(kHostExitWaitMs, mark));
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  }
  std::uint32_t ProcessOf(const std::wstring& name) { return module->Hosts().at(name).processId; }
  // Ends a host's process from outside, once it has run a second (so its
  // restart need not wait), and waits in real time until it has ended; its
  // id is returned.
  std::uint32_t Kill(const std::wstring& name) {
    clock.Advance(zav::custody::kStartIntervalMs);
    const std::uint32_t pid = ProcessOf(name);
    const xplat::ProcessHandle watch = xplat::OpenProcessForWaiting(pid);  // before the module may reap it
    EXPECT_TRUE(xplat::TerminateProcessById(pid, 1));
    EXPECT_TRUE(Eventually([&] { return watch.WaitForExit(0); }));
    return pid;
  }
  void AwaitEnd(const std::wstring& name) {
    ASSERT_TRUE(Eventually([&] { return module->Hosts().at(name).processHandle.HasEnded(); }));
  }

  ManualClock clock;
  ServiceEnd service;
  std::thread loop;
  std::atomic<bool> ended{false};
  std::vector<std::wstring> enabled;
};

}  // namespace testing_support
