// An unnamed job object per tree: no other account can open it, and without
// kill-on-close its processes outlive the handle. The job's own count of
// active processes says whether it is empty; the completion port of its set,
// shared by the set's jobs, tells a wait that some count may have changed.

#include "xplat/process_tree.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "xplat/process_tree_wait.h"
#include "xplat/win/create_process.h"
#include "xplat/win/handle.h"
#include "xplat/win/process_handle_impl.h"

namespace xplat {
namespace {

constexpr std::uint64_t kTicksPerMs = 10000;  // FILETIME ticks of 100 ns
// The port's notices are not sure to come: a wait looks again this often.
constexpr std::uint32_t kLookMs = 100;
constexpr ULONG kNoticesAtOnce = 64;

// The notices say only that a count may have changed: the counts decide.
void DropNotices(HANDLE port) {
  OVERLAPPED_ENTRY entries[kNoticesAtOnce];
  ULONG taken = 0;
  while (port && ::GetQueuedCompletionStatusEx(port, entries, kNoticesAtOnce, &taken, 0, FALSE) &&
         taken == kNoticesAtOnce) {
  }
}

bool EndUnstarted(const PROCESS_INFORMATION& info) {
  const DWORD error = ::GetLastError();
  ::TerminateProcess(info.hProcess, 1);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  ::SetLastError(error);
  return false;
}

}  // namespace

// A job ends with its service: nothing is left for a set to take over.
// Without the port a wait still looks at the counts every kLookMs.
struct ProcessTreeSet::Impl {
  Handle port{::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)};
};

struct ProcessTree::Impl {
  std::shared_ptr<ProcessTreeSet::Impl> set;
  Handle job;
  std::uint32_t exitCode = 1;
  bool ending = false;
};

struct ProcessTreeAccess {
  static ProcessTree::Impl& Of(const ProcessTree& tree) { return *tree.impl; }
};

ProcessTree::ProcessTree() = default;
ProcessTree::~ProcessTree() = default;
ProcessTree::ProcessTree(ProcessTree&&) noexcept = default;
ProcessTree& ProcessTree::operator=(ProcessTree&&) noexcept = default;

ProcessTreeSet::ProcessTreeSet(const std::wstring&) : impl(std::make_shared<Impl>()) {}
ProcessTreeSet::~ProcessTreeSet() = default;

const ProcessTreeSet& ProcessTreeSet::Default() {
  static const ProcessTreeSet set(L"");
  return set;
}

ProcessTree ProcessTreeSet::Create(const std::wstring&, bool) const {
  ProcessTree tree;
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return tree;
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT port{};
  port.CompletionPort = impl->port.Get();
  if (port.CompletionPort) {
    ::SetInformationJobObject(job.Get(), JobObjectAssociateCompletionPortInformation, &port, sizeof port);
  }
  tree.impl = std::make_unique<ProcessTree::Impl>();
  tree.impl->set = impl;
  tree.impl->job = std::move(job);
  return tree;
}

ProcessTreeSet::LeftTrees ProcessTreeSet::TakeOverLeftTrees() const { return {}; }

ProcessTreeSet::Round::Round(const ProcessTreeSet& treeSet) : set(treeSet.impl) {}
ProcessTreeSet::Round::~Round() = default;

void ProcessTreeSet::DropPastNotices() const { DropNotices(impl->port.Get()); }

void RefreshTrees(ProcessTreeSet::Impl&, const std::vector<const ProcessTree*>&, bool) {}

std::wstring ProcessTree::WhyProcessGroups() const { return {}; }

bool ProcessTree::StartAbandoned() const { return false; }

bool ProcessTree::FellBackAlone() const { return false; }

void ProcessTree::Refresh() const {}

ProcessTreeKind ProcessTree::Kind() const { return ProcessTreeKind::JobObject; }

// Suspended until it is in the job, so its first child is already in it.
bool ProcessTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  impl->ending = false;
  PROCESS_INFORMATION info;
  if (!CreateProgramProcess(image, arguments, CREATE_SUSPENDED, info)) return false;
  if (!::AssignProcessToJobObject(impl->job.Get(), info.hProcess)) return EndUnstarted(info);
  if (::ResumeThread(info.hThread) == static_cast<DWORD>(-1)) return EndUnstarted(info);
  TakeStartedProcess(info, started);
  return true;
}

TreeState ProcessTree::State() const {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!::QueryInformationJobObject(impl->job.Get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr)) {
    return TreeState::Unknown;
  }
  return accounting.ActiveProcesses == 0 ? TreeState::Empty : TreeState::Populated;
}

std::optional<std::vector<std::uint32_t>> ProcessTree::ProcessIds() const {
  std::vector<ULONG_PTR> buffer(64);
  for (;;) {
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR));
    if (!::QueryInformationJobObject(impl->job.Get(), JobObjectBasicProcessIdList, list, bytes, nullptr) &&
        ::GetLastError() != ERROR_MORE_DATA) {
      return std::nullopt;
    }
    if (list->NumberOfProcessIdsInList < list->NumberOfAssignedProcesses) {
      buffer.resize(buffer.size() + list->NumberOfAssignedProcesses * 2);
      continue;
    }
    std::vector<std::uint32_t> ids(list->ProcessIdList, list->ProcessIdList + list->NumberOfProcessIdsInList);
    std::sort(ids.begin(), ids.end());
    return ids;
  }
}

std::uint64_t ProcessTree::Runs() const { return 0; }

std::optional<std::vector<std::uint32_t>> ProcessTree::ProcessIdsOfRuns(std::uint64_t) const { return ProcessIds(); }

TreeState ProcessTree::WaitUntilEmpty(std::uint32_t ms) const { return WaitUntilTreesEmpty(*impl->set, {this}, ms); }

bool ProcessTree::Terminate(std::uint32_t exitCode) {
  impl->ending = true;
  impl->exitCode = exitCode;
  return ::TerminateJobObject(impl->job.Get(), exitCode) != FALSE;
}

// Wine's jobs count processes but keep no CPU time and no peak: a 0 is
// left out, not shown as what the processes used.
ProcessTreeUsage ProcessTree::ReadUsage() const {
  ProcessTreeUsage usage;
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (::QueryInformationJobObject(impl->job.Get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                  nullptr) &&
      accounting.TotalUserTime.QuadPart + accounting.TotalKernelTime.QuadPart != 0) {
    usage.userMs = static_cast<std::uint64_t>(accounting.TotalUserTime.QuadPart) / kTicksPerMs;
    usage.kernelMs = static_cast<std::uint64_t>(accounting.TotalKernelTime.QuadPart) / kTicksPerMs;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (::QueryInformationJobObject(impl->job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                  nullptr) &&
      limits.PeakJobMemoryUsed != 0) {
    usage.peakMemoryBytes = limits.PeakJobMemoryUsed;
  }
  return usage;
}

struct TreesWait::Impl {
  HANDLE port;
  std::vector<const ProcessTree*> trees;
};

TreesWait::TreesWait(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees)
    : impl(std::make_unique<Impl>(Impl{set.port.Get(), trees})) {}

TreesWait::~TreesWait() = default;

// A process started by a member as the job was ended joins the job after
// it: an end asked for ends the job again at each look.
bool TreesWait::Await(std::uint32_t ms) {
  for (const ProcessTree* tree : impl->trees) {
    const ProcessTree::Impl& treeImpl = ProcessTreeAccess::Of(*tree);
    if (treeImpl.ending) ::TerminateJobObject(treeImpl.job.Get(), treeImpl.exitCode);
  }
  DWORD notice = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  if (impl->port) {
    ::GetQueuedCompletionStatus(impl->port, &notice, &key, &overlapped, std::min(ms, kLookMs));
    DropNotices(impl->port);
  } else {
    ::Sleep(std::min(ms, kLookMs));
  }
  return std::all_of(impl->trees.begin(), impl->trees.end(),
                     [](const ProcessTree* tree) { return tree->State() == TreeState::Empty; });
}

}  // namespace xplat
