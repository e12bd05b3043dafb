#pragma once
// Children the tests start from the test child program (child_program.cpp),
// ended before the test returns: under Wine a child still running would keep
// the test runner's output open.

#include <cstdint>
#include <deque>
#include <string>

#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/process.h"

namespace testing_support {

// Real time a child is given to end.
inline constexpr std::uint32_t kChildPatience = 60000;

inline std::wstring ChildProgram() {
#if defined(_WIN32)
  return xplat::FolderOf(xplat::ExecutablePath()) + L"\\custodex-test-child.exe";
#else
  return xplat::FolderOf(xplat::ExecutablePath()) + L"/custodex-test-child";
#endif
}

inline std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Declare it before any fake clock, so its real waits come after the clock is gone.
class ChildProcesses {
 public:
  ChildProcesses() = default;
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;
  ~ChildProcesses() {
    for (xplat::StartedProcess& child : children) {
      child.process.Terminate(1);
      child.process.WaitForExit(kChildPatience);
    }
  }

  // Starts the program (the test child by default) with the given arguments;
  // null when it could not be started.
  xplat::StartedProcess* Start(const std::wstring& arguments, const std::wstring& program = ChildProgram()) {
    xplat::StartedProcess started;
    if (!xplat::StartProgram(program, arguments, started)) return nullptr;
    children.push_back(std::move(started));
    return &children.back();
  }
  const xplat::ProcessHandle& operator[](std::size_t i) const { return children[i].process; }
  std::size_t Count() const { return children.size(); }

 private:
  std::deque<xplat::StartedProcess> children;  // keeps the pointers Start gave out
};

}  // namespace testing_support
