#include "xplat/process_list.h"

#include <windows.h>
// after windows.h, which they build on
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "xplat/process.h"
#include "xplat/win/handle.h"

namespace xplat {
namespace {

constexpr ULONG kProcessCommandLineInformation = 60;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
using QueryInformation = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

std::wstring ImageOf(HANDLE process) {
  std::vector<wchar_t> path(32768);
  DWORD size = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(process, 0, path.data(), &size)) return {};
  return std::wstring(path.data(), size);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

QueryInformation NtQuery() {
  static const auto query = reinterpret_cast<QueryInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  return query;
}

template <typename Value>
bool ReadFrom(HANDLE process, const void* address, Value& value) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, address, &value, sizeof value, &read) && read == sizeof value;
}

// Where the system cannot tell the command line directly: from the
// process's own parameters, through its environment block.
std::wstring CommandLineFromParameters(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic{};
  ULONG size = 0;
  if (NtQuery()(process, ProcessBasicInformation, &basic, sizeof basic, &size) < 0 || !basic.PebBaseAddress) return {};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  if (!ReadFrom(process, basic.PebBaseAddress, peb) || !ReadFrom(process, peb.ProcessParameters, parameters)) return {};
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  SIZE_T read = 0;
  if (!::ReadProcessMemory(process, parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length, &read) ||
      read != parameters.CommandLine.Length) {
    return {};
  }
  return line;
}

// The command line as the process was given it, through ntdll's query of it.
std::wstring CommandLineOf(HANDLE process) {
  const QueryInformation query = NtQuery();
  if (!query) return {};
  ULONG size = 0;
  std::vector<unsigned char> buffer(sizeof(UNICODE_STRING) + 1024);
  NTSTATUS status =
      query(process, kProcessCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size);
  if (status == kInfoLengthMismatch && size > buffer.size()) {
    buffer.resize(size);
    status = query(process, kProcessCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size);
  }
  if (status < 0) return CommandLineFromParameters(process);
  const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
  return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

}  // namespace

std::vector<RunningProgram> ProcessesRunning(const std::vector<std::wstring>& images) {
  std::vector<RunningProgram> found;
  const Handle snapshot(images.empty() ? nullptr : ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    const Handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    if (!process) continue;
    const std::wstring running = ImageOf(process.Get());
    const auto image = std::find_if(images.begin(), images.end(),
                                    [&](const std::wstring& wanted) { return SameFile(running, wanted); });
    if (image == images.end()) continue;
    std::vector<std::wstring> arguments = SplitCommandLine(CommandLineOf(process.Get()));
    if (!arguments.empty()) arguments.erase(arguments.begin());
    found.push_back(RunningProgram{entry.th32ProcessID, *image, std::move(arguments)});
  }
  return found;
}

}  // namespace xplat
