#include "xplat/process.h"

#include <algorithm>
#include <atomic>

#include "xplat/clock.h"
#include "xplat/process_serial.h"
#include "xplat/process_wait.h"

namespace xplat {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program's name: quotes only group, backslashes are literal.
std::wstring ReadProgramName(const std::wstring& line, std::size_t& at) {
  std::wstring name;
  bool quoted = false;
  for (; at < line.size() && (quoted || !IsBlank(line[at])); ++at) {
    if (line[at] == L'"') {
      quoted = !quoted;
    } else {
      name += line[at];
    }
  }
  return name;
}

// 2N backslashes before a quote give N and leave the quote to act; 2N+1 give
// N and a literal quote; backslashes before anything else stay as they are.
void ReadBackslashes(const std::wstring& line, std::size_t& at, std::wstring& argument) {
  const std::size_t first = at;
  while (at < line.size() && line[at] == L'\\') ++at;
  const std::size_t count = at - first;
  if (at == line.size() || line[at] != L'"') {
    argument.append(count, L'\\');
    return;
  }
  argument.append(count / 2, L'\\');
  if (count % 2 == 1) {
    argument += L'"';
    ++at;
  }
}

std::wstring ReadArgument(const std::wstring& line, std::size_t& at) {
  std::wstring argument;
  bool quoted = false;
  while (at < line.size() && (quoted || !IsBlank(line[at]))) {
    const wchar_t c = line[at];
    if (c == L'\\') {
      ReadBackslashes(line, at, argument);
    } else if (c == L'"' && quoted && at + 1 < line.size() && line[at + 1] == L'"') {
      argument += L'"';  // "" inside quotes: a literal quote, and the quotes go on
      at += 2;
    } else if (c == L'"') {
      quoted = !quoted;
      ++at;
    } else {
      argument += c;
      ++at;
    }
  }
  return argument;
}

void SkipBlanks(const std::wstring& line, std::size_t& at) {
  while (at < line.size() && IsBlank(line[at])) ++at;
}

}  // namespace

std::uint64_t NextProcessSerial() {
  static std::atomic<std::uint64_t> serial{0};
  return ++serial;
}

std::vector<std::wstring> SplitArguments(const std::wstring& arguments) {
  std::vector<std::wstring> split;
  std::size_t at = 0;
  for (SkipBlanks(arguments, at); at < arguments.size(); SkipBlanks(arguments, at)) {
    split.push_back(ReadArgument(arguments, at));
  }
  return split;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
  std::size_t at = 0;
  SkipBlanks(commandLine, at);
  if (at == commandLine.size()) return {};
  std::vector<std::wstring> arguments{ReadProgramName(commandLine, at)};
  for (std::wstring& argument : SplitArguments(commandLine.substr(at))) arguments.push_back(std::move(argument));
  return arguments;
}

std::wstring CommandLineOf(const std::wstring& image, const std::wstring& arguments) {
  std::wstring line = L"\"" + image + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  return line;
}

WaitAllResult WaitForAllProcesses(const std::vector<const ProcessHandle*>& processes, std::uint32_t ms) {
  std::vector<const ProcessHandle*> running;
  std::copy_if(processes.begin(), processes.end(), std::back_inserter(running),
               [](const ProcessHandle* process) { return process != nullptr && *process; });
  const std::uint64_t start = CurrentClock().NowMs();
  for (std::size_t first = 0; first < running.size(); first += kProcessWaitGroupSize) {
    const std::size_t count = std::min(kProcessWaitGroupSize, running.size() - first);
    const WaitAllResult result = WaitForProcessGroup(running.data() + first, count, TimeLeftMs(start, ms));
    if (result != WaitAllResult::AllEnded) return result;
  }
  return WaitAllResult::AllEnded;
}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
  if (this != &other) {
    Close();
    handle = other.handle;
    other.handle = nullptr;
  }
  return *this;
}

}  // namespace xplat
