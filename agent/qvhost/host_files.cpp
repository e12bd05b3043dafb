#include "qvhost/host_files.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/text.h"

namespace qvhost {
namespace {

constexpr wchar_t kPrefix[] = L"QVH-";
constexpr std::size_t kMaxStatusBytes = 4096;

constexpr std::size_t kLongestFileName = 255;
#if defined(_WIN32)
constexpr std::size_t kLongestPath = 259;  // MAX_PATH, without its terminating zero
#else
constexpr std::size_t kLongestPath = 4095;
#endif
constexpr std::size_t kLongestTail = 1 + 10 + 7;  // ".<pid>.status"

// In UTF-8 bytes (Linux) and UTF-16 units (Windows) alike.
bool FitsFileName(const std::wstring& folder, const std::wstring& stem) {
  const std::wstring name = kPrefix + stem;
  const std::size_t units = std::max(xplat::ToUtf8(name).size(), name.size()) + kLongestTail;
  return units <= kLongestFileName && folder.size() + 1 + units <= kLongestPath;
}

// The host's part of its file names: the name, or for a long one its cut
// and its hash.
std::wstring FileStem(const std::wstring& folder, const std::wstring& hostName) {
  if (FitsFileName(folder, hostName)) return hostName;
  const std::wstring hash = L"~" + xplat::FromUtf8(xplat::NameHash(hostName));
  std::wstring cut = hostName;
  while (!cut.empty() && !FitsFileName(folder, cut + hash)) {
    cut.pop_back();
    if (!cut.empty() && cut.back() >= 0xD800 && cut.back() <= 0xDBFF) cut.pop_back();  // no half pair
  }
  return cut + hash;
}

std::wstring HostFilePath(const std::wstring& folder, const std::wstring& hostName, std::uint32_t processId,
                          const wchar_t* suffix) {
  return folder + xplat::kPathSeparator + kPrefix + FileStem(folder, hostName) + L"." + std::to_wstring(processId) +
         suffix;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "QVH-<host>.<pid><suffix>": the host name may hold points, the id never.
std::optional<HostFile> ParseHostFileName(const std::wstring& name, const std::wstring& suffix) {
  const std::wstring prefix = kPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0 || !EndsWith(name, suffix)) return std::nullopt;
  const std::wstring middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  const std::size_t point = middle.rfind(L'.');
  if (point == std::wstring::npos) return std::nullopt;
  const std::wstring digits = middle.substr(point + 1);
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return std::nullopt;
  }
  const unsigned long long id = std::stoull(digits);
  if (id == 0 || id > 0xFFFFFFFFull) return std::nullopt;
  return HostFile{middle.substr(0, point), static_cast<std::uint32_t>(id), std::wstring()};
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& number) {
  std::istringstream in(text);
  in >> number;
  return !in.fail() && in.eof();
}

}  // namespace

std::wstring StatusFilePath(const std::wstring& folder, const std::wstring& hostName, std::uint32_t processId) {
  return HostFilePath(folder, hostName, processId, kStatusSuffix);
}

std::wstring StopFilePath(const std::wstring& folder, const std::wstring& hostName, std::uint32_t processId) {
  return HostFilePath(folder, hostName, processId, kStopSuffix);
}

std::vector<HostFile> ListHostFiles(const std::wstring& folder, const std::wstring& suffix,
                                    const std::optional<std::wstring>& hostName) {
  std::vector<HostFile> files;
  std::error_code error;
  const std::optional<std::wstring> stem =
      hostName ? std::optional<std::wstring>(FileStem(folder, *hostName)) : std::nullopt;
  for (const auto& item : std::filesystem::directory_iterator(xplat::FileSystemPath(folder), error)) {
    std::optional<HostFile> file = ParseHostFileName(xplat::WidePath(item.path().filename()), suffix);
    if (!file || (stem && file->hostName != *stem)) continue;
    file->path = xplat::WidePath(item.path());
    files.push_back(std::move(*file));
  }
  std::sort(files.begin(), files.end(), [](const HostFile& a, const HostFile& b) {
    return std::tie(a.hostName, a.processId) < std::tie(b.hostName, b.processId);
  });
  return files;
}

std::string FormatHostStatus(const HostStatus& status) {
  std::string text = status.hostName.empty() ? std::string() : "host=" + xplat::ToUtf8(status.hostName) + "\n";
  text += "pid=" + std::to_string(status.processId) + "\nstarted=" + std::to_string(status.startedMs) + "\n";
  if (status.exitCode) text += "exit=" + std::to_string(*status.exitCode) + "\n";
  return text;
}

std::optional<HostStatus> ParseHostStatus(const std::string& text) {
  HostStatus status;
  bool hasProcessId = false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    std::int64_t exitCode = 0;
    if (key == "host") {
      status.hostName = xplat::FromUtf8(value);
    } else if (key == "pid") {
      hasProcessId = ParseNumber(value, status.processId);
    } else if (key == "started") {
      ParseNumber(value, status.startedMs);
    } else if (key == "exit" && ParseNumber(value, exitCode)) {
      status.exitCode = exitCode;
    }
  }
  if (!hasProcessId) return std::nullopt;
  return status;
}

std::optional<HostStatus> ReadHostStatus(const std::wstring& path) {
  const std::optional<std::string> text = xplat::ReadSharedFile(path, kMaxStatusBytes);
  if (!text) return std::nullopt;
  return ParseHostStatus(*text);
}

bool WriteHostStatus(const std::wstring& path, const HostStatus& status) {
  std::ofstream file(xplat::FileSystemPath(path), std::ios::binary | std::ios::trunc);
  file << FormatHostStatus(status);
  file.close();
  return !file.fail();
}

bool CreateEmptyFile(const std::wstring& path) {
  std::ofstream file(xplat::FileSystemPath(path), std::ios::binary | std::ios::trunc);
  return file.is_open();
}

bool IsRunning(const HostStatus& status) {
  if (status.exitCode) return false;
  const xplat::ProcessHandle process = xplat::OpenProcessForWaiting(status.processId);
  return process && !process.WaitForExit(0);
}

std::uint64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace qvhost
