// An unnamed job object per tree: no other account can open it, and without
// kill-on-close its processes outlive the handle.

#include "xplat/process_tree.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "xplat/win/create_process.h"
#include "xplat/win/handle.h"
#include "xplat/win/process_handle_impl.h"

namespace xplat {
namespace {

constexpr std::uint64_t kTicksPerMs = 10000;  // FILETIME ticks of 100 ns

bool EndUnstarted(const PROCESS_INFORMATION& info) {
  const DWORD error = ::GetLastError();
  ::TerminateProcess(info.hProcess, 1);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  ::SetLastError(error);
  return false;
}

}  // namespace

struct ProcessTree::Impl {
  Handle job;
};

ProcessTree::ProcessTree() = default;
ProcessTree::~ProcessTree() = default;
ProcessTree::ProcessTree(ProcessTree&&) noexcept = default;
ProcessTree& ProcessTree::operator=(ProcessTree&&) noexcept = default;

ProcessTree ProcessTree::Create(const std::wstring&, bool) {
  ProcessTree tree;
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return tree;
  tree.impl = std::make_unique<Impl>();
  tree.impl->job = std::move(job);
  return tree;
}

ProcessTreeKind ProcessTree::Kind() const { return ProcessTreeKind::JobObject; }

// Suspended until it is in the job, so its first child is already in it.
bool ProcessTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  PROCESS_INFORMATION info;
  if (!CreateProgramProcess(image, arguments, CREATE_SUSPENDED, info)) return false;
  if (!::AssignProcessToJobObject(impl->job.Get(), info.hProcess)) return EndUnstarted(info);
  if (::ResumeThread(info.hThread) == static_cast<DWORD>(-1)) return EndUnstarted(info);
  TakeStartedProcess(info, started);
  return true;
}

std::vector<std::uint32_t> ProcessTree::ProcessIds() const {
  std::vector<ULONG_PTR> buffer(64);
  for (;;) {
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR));
    if (::QueryInformationJobObject(impl->job.Get(), JobObjectBasicProcessIdList, list, bytes, nullptr) ||
        ::GetLastError() == ERROR_MORE_DATA) {
      if (list->NumberOfProcessIdsInList < list->NumberOfAssignedProcesses) {
        buffer.resize(buffer.size() + list->NumberOfAssignedProcesses * 2);
        continue;
      }
      std::vector<std::uint32_t> ids(list->ProcessIdList, list->ProcessIdList + list->NumberOfProcessIdsInList);
      std::sort(ids.begin(), ids.end());
      return ids;
    }
    return {};
  }
}

// Only the handle can tell the process is still the member listed. Wine
// answers IsProcessInJob only through a handle with full query rights.
ProcessHandle ProcessTree::OpenMember(std::uint32_t processId) const {
  const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (!process) return ProcessHandle();
  ProcessHandle member = ProcessAccess::Wrap(process);
  BOOL inJob = FALSE;
  if (member.HasEnded() || !::IsProcessInJob(process, impl->job.Get(), &inJob) || !inJob) return ProcessHandle();
  return member;
}

bool ProcessTree::Terminate(std::uint32_t exitCode) const {
  return ::TerminateJobObject(impl->job.Get(), exitCode) != FALSE;
}

bool ProcessTree::ReadUsage(ProcessTreeUsage& usage) const {
  usage = ProcessTreeUsage();
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!::QueryInformationJobObject(impl->job.Get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr)) {
    return false;
  }
  usage.processes = accounting.ActiveProcesses;
  usage.userMs = static_cast<std::uint64_t>(accounting.TotalUserTime.QuadPart) / kTicksPerMs;
  usage.kernelMs = static_cast<std::uint64_t>(accounting.TotalKernelTime.QuadPart) / kTicksPerMs;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (::QueryInformationJobObject(impl->job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                  nullptr) &&
      limits.PeakJobMemoryUsed != 0) {
    usage.peakMemoryBytes = limits.PeakJobMemoryUsed;
    usage.peakMemoryKnown = true;
  }
  return true;
}

}  // namespace xplat
