#include "qvhost/host_files.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "xplat/file_system.h"

namespace qvhost {
namespace {

std::wstring HostFilePath(const std::wstring& folder, const std::wstring& hostName, const wchar_t* suffix) {
  return folder + xplat::kPathSeparator + L"QVH-" + hostName + suffix;
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& number) {
  std::istringstream in(text);
  in >> number;
  return !in.fail() && in.eof();
}

}  // namespace

std::wstring StatusFilePath(const std::wstring& folder, const std::wstring& hostName) {
  return HostFilePath(folder, hostName, L".status");
}

std::wstring StopFilePath(const std::wstring& folder, const std::wstring& hostName) {
  return HostFilePath(folder, hostName, L".stop");
}

std::string FormatHostStatus(const HostStatus& status) {
  std::string text = "pid=" + std::to_string(status.processId) + "\nstarted=" + std::to_string(status.startedMs) + "\n";
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
    if (key == "pid") {
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
  const std::optional<std::string> text = xplat::ReadSharedFile(path);
  if (!text) return std::nullopt;
  return ParseHostStatus(*text);
}

bool WriteHostStatus(const std::wstring& path, const HostStatus& status) {
  std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  file << FormatHostStatus(status);
  file.close();
  return !file.fail();
}

bool CreateEmptyFile(const std::wstring& path) {
  std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  return file.is_open();
}

std::uint64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace qvhost
