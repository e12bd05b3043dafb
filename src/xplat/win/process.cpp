#include "xplat/process.h"

#include <windows.h>

#include <algorithm>

#include "xplat/clock.h"
#include "xplat/process_wait.h"
#include "xplat/win/create_process.h"
#include "xplat/win/handle.h"
#include "xplat/win/process_handle_impl.h"

namespace xplat {

namespace {

bool Fail(DWORD error) {
  ::SetLastError(error);
  return false;
}

}  // namespace

ProcessHandle::ProcessHandle() = default;
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&&) noexcept = default;

bool ProcessHandle::GetExitCode(std::uint32_t& code) const {
  if (!impl) return Fail(ERROR_INVALID_HANDLE);
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(impl->process.Get(), &exitCode)) return false;
  code = exitCode;
  return true;
}

bool ProcessHandle::GetExitCode(std::uint32_t& code, bool& ended) const {
  if (!GetExitCode(code)) return false;
  ended = code != kStillActive || ::WaitForSingleObject(impl->process.Get(), 0) == WAIT_OBJECT_0;
  return true;
}

bool ProcessHandle::GetExit(ProcessExit& exit) const {
  std::uint32_t code = 0;
  bool ended = false;
  if (!GetExitCode(code, ended)) return false;
  if (!ended) return Fail(ERROR_BUSY);
  exit = ProcessExit();
  exit.code = code;
  exit.endedHere = impl->terminated;
  return true;
}

bool ProcessHandle::WaitForExit(std::uint32_t ms) const {
  if (!impl) return Fail(ERROR_INVALID_HANDLE);
  const HANDLE process = impl->process.Get();
  return CurrentClock().TimedWait(
      ms, [process](std::uint32_t timeout) { return ::WaitForSingleObject(process, timeout) == WAIT_OBJECT_0; });
}

bool ProcessHandle::Terminate(std::uint32_t exitCode) const {
  if (!impl) return Fail(ERROR_INVALID_HANDLE);
  // One that has ended keeps its own end: Wine ends it again without complaint.
  if (::WaitForSingleObject(impl->process.Get(), 0) == WAIT_OBJECT_0) return Fail(ERROR_ACCESS_DENIED);
  if (!::TerminateProcess(impl->process.Get(), exitCode)) return false;
  impl->terminated = true;
  return true;
}

void ProcessHandle::Close() { impl.reset(); }

void ThreadHandle::Close() {
  if (handle) ::CloseHandle(static_cast<HANDLE>(handle));
  handle = nullptr;
}

const std::size_t kProcessWaitGroupSize = MAXIMUM_WAIT_OBJECTS;

WaitAllResult WaitForProcessGroup(const ProcessHandle* const* group, std::size_t count, std::uint32_t ms) {
  std::vector<HANDLE> handles;
  for (std::size_t i = 0; i < count; ++i) handles.push_back(ProcessAccess::Of(*group[i]));
  // The same handle twice would make the whole wait fail.
  std::sort(handles.begin(), handles.end());
  handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
  const DWORD size = static_cast<DWORD>(handles.size());
  bool failed = false;
  const bool ended = CurrentClock().TimedWait(ms, [&](std::uint32_t timeout) {
    const DWORD result = ::WaitForMultipleObjects(size, handles.data(), TRUE, timeout);
    failed = result == WAIT_FAILED;
    return result < WAIT_OBJECT_0 + size;
  });
  if (ended) return WaitAllResult::AllEnded;
  return failed ? WaitAllResult::Failed : WaitAllResult::TimedOut;
}

bool CreateProgramProcess(const std::wstring& image, const std::wstring& arguments, DWORD creationFlags,
                          PROCESS_INFORMATION& info) {
  // CreateProcessW may write into the command line it is given.
  const std::wstring commandLine = CommandLineOf(image, arguments);
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  info = PROCESS_INFORMATION{};
  return ::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr, &startup,
                          &info) != FALSE;
}

void TakeStartedProcess(const PROCESS_INFORMATION& info, StartedProcess& started) {
  started.process = ProcessAccess::Wrap(info.hProcess);
  started.thread = ThreadHandle(info.hThread);
  started.processId = info.dwProcessId;
  started.threadId = info.dwThreadId;
}

bool StartProgram(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  PROCESS_INFORMATION info;
  if (!CreateProgramProcess(image, arguments, 0, info)) return false;
  TakeStartedProcess(info, started);
  return true;
}

ProcessHandle OpenProcessForWaiting(std::uint32_t processId) {
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
  return process ? ProcessAccess::Wrap(process) : ProcessHandle();
}

ProcessHandle OpenProcessToSupervise(std::uint32_t processId) {
  const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  return process ? ProcessAccess::Wrap(process) : ProcessHandle();
}

bool TerminateProcessById(std::uint32_t processId, std::uint32_t exitCode) {
  const Handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  return process && ::TerminateProcess(process.Get(), exitCode) != FALSE;
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace xplat
