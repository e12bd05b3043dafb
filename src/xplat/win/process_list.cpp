#include "xplat/process_list.h"

#include <windows.h>
// after windows.h, which they build on
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "xplat/process.h"
#include "xplat/win/handle.h"
#include "xplat/win/process_handle_impl.h"

namespace xplat {
namespace {

constexpr ULONG kProcessCommandLineInformation = 60;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
using QueryInformation = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring ImageOf(HANDLE process) {
  std::vector<wchar_t> path(32768);
  DWORD size = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(process, 0, path.data(), &size)) return {};
  return std::wstring(path.data(), size);
}

// The user of a process's token, as a SID in a buffer of its own.
std::optional<std::vector<unsigned char>> TokenUserOf(HANDLE process) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return std::nullopt;
  const Handle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size)) return std::nullopt;
  return user;
}

bool SameUser(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  return ::EqualSid(reinterpret_cast<const TOKEN_USER*>(a.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(b.data())->User.Sid) != FALSE;
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
// process's own parameters, through a second handle with the rights to
// read them. The first handle, held meanwhile, keeps the id from being
// reused, so both are of the one process.
std::optional<std::wstring> CommandLineFromParameters(DWORD processId) {
  const Handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  PROCESS_BASIC_INFORMATION basic{};
  ULONG size = 0;
  if (!process || NtQuery()(process.Get(), ProcessBasicInformation, &basic, sizeof basic, &size) < 0 ||
      !basic.PebBaseAddress) {
    return std::nullopt;
  }
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  if (!ReadFrom(process.Get(), basic.PebBaseAddress, peb) ||
      !ReadFrom(process.Get(), peb.ProcessParameters, parameters)) {
    return std::nullopt;
  }
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  SIZE_T read = 0;
  if (!::ReadProcessMemory(process.Get(), parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length,
                           &read) ||
      read != parameters.CommandLine.Length) {
    return std::nullopt;
  }
  return line;
}

// The command line as the process was given it, through ntdll's query of
// it, which a handle for limited information may ask.
std::optional<std::wstring> CommandLineOf(HANDLE process, DWORD processId) {
  const QueryInformation query = NtQuery();
  if (!query) return std::nullopt;
  ULONG size = 0;
  std::vector<unsigned char> buffer(sizeof(UNICODE_STRING) + 1024);
  NTSTATUS status =
      query(process, kProcessCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size);
  if (status == kInfoLengthMismatch && size > buffer.size()) {
    buffer.resize(size);
    status = query(process, kProcessCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size);
  }
  if (status < 0) return CommandLineFromParameters(processId);
  const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
  return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

// Opened first, then examined through that handle, which is the one kept.
std::optional<RunningProgram> Examine(DWORD processId, const std::wstring& image,
                                      const std::vector<unsigned char>& ownUser) {
  ProcessHandle handle = OpenProcessToSupervise(processId);
  if (!handle) return std::nullopt;
  const HANDLE process = ProcessAccess::Of(handle);
  const std::optional<std::vector<unsigned char>> user = TokenUserOf(process);
  if (!user || !SameUser(*user, ownUser) || !SameFile(ImageOf(process), image)) return std::nullopt;
  const std::optional<std::wstring> line = CommandLineOf(process, processId);
  if (!line || handle.HasEnded()) return std::nullopt;
  std::vector<std::wstring> arguments = SplitCommandLine(*line);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  RunningProgram program;
  program.process = std::move(handle);
  program.processId = processId;
  program.image = image;
  program.arguments = std::move(arguments);
  return program;
}

}  // namespace

std::vector<RunningProgram> OwnProcessesRunning(const std::vector<std::wstring>& images) {
  std::vector<RunningProgram> found;
  const std::optional<std::vector<unsigned char>> ownUser = TokenUserOf(::GetCurrentProcess());
  const Handle snapshot(images.empty() || !ownUser ? nullptr : ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    for (const std::wstring& image : images) {
      if (!SameFile(FileNameOf(image), entry.szExeFile)) continue;
      if (std::optional<RunningProgram> program = Examine(entry.th32ProcessID, image, *ownUser)) {
        found.push_back(std::move(*program));
        break;
      }
    }
  }
  return found;
}

}  // namespace xplat
