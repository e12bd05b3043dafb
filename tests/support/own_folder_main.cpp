// The main of test programs that run hosts. The module takes the folder of
// the running program for the agent's program folder: hosts are copied,
// started and asked to stop there. So that test programs running side by
// side never meet there, a program started from the build's folder links
// itself and the build's programs and libraries into a new folder of its
// own, runs from there, and removes it afterwards.

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "support/test_program.h"
#include "xplat/clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kOwnFolderVariable[] = L"CUSTODEX_OWN_PROGRAM_FOLDER";

bool RunsFromItsOwnFolder() {
  return xplat::ReadEnvironment(kOwnFolderVariable) == xplat::FolderOf(xplat::ExecutablePath());
}

// Listing the tests starts nothing.
bool OnlyListsTests(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--gtest_list_tests") return true;
  }
  return false;
}

// As the C run-time splits it again.
std::wstring Quoted(const std::string& argument) {
  const std::wstring text(argument.begin(), argument.end());
  if (!text.empty() && text.find_first_of(L" \t\"") == std::wstring::npos) return text;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  return quoted.append(2 * backslashes, L'\\') + L"\"";
}

fs::path NewRunFolder(const fs::path& bin, const fs::path& program) {
  const fs::path runs = bin.parent_path() / "run";
  fs::create_directories(runs);
  for (std::random_device random;;) {
    const fs::path candidate = runs / (program.stem().string() + "-" + std::to_string(random()));
    if (fs::create_directory(candidate)) return candidate;
  }
}

// Hard links cost nothing and keep the build's files as they are: a test
// replaces a file there only by removing its link first. Windows holds on to
// every link of a running program's file, so this program itself, running
// from the build's folder meanwhile, is copied there.
void LinkFiles(const fs::path& from, const fs::path& to, const fs::path& program) {
  for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
    if (!entry.is_regular_file()) continue;
    std::error_code error;
#if defined(_WIN32)
    if (entry.path() == program) error = std::make_error_code(std::errc::text_file_busy);
#endif
    if (!error) fs::create_hard_link(entry.path(), to / entry.path().filename(), error);
    if (error) fs::copy_file(entry.path(), to / entry.path().filename());
  }
}

// Windows lets go of a program's files a moment after the program ends.
void RemoveFolder(const fs::path& folder) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::error_code error;
    fs::remove_all(folder, error);
    if (!error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int RunFromOwnFolder(int argc, char** argv) {
  const fs::path program = xplat::ExecutablePath();
  const fs::path folder = NewRunFolder(program.parent_path(), program);
  LinkFiles(program.parent_path(), folder, program);
  xplat::WriteEnvironment(kOwnFolderVariable, folder.wstring());
  std::wstring arguments;
  for (int i = 1; i < argc; ++i) arguments += (i > 1 ? L" " : L"") + Quoted(argv[i]);
  xplat::StartedProcess run;
  int result = 1;
  if (xplat::StartProgram((folder / program.filename()).wstring(), arguments, run)) {
    std::uint32_t code = 1;
    run.process.WaitForExit(xplat::kInfinite);
    if (run.process.GetExitCode(code)) result = static_cast<int>(code);
  }
  RemoveFolder(folder);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (RunsFromItsOwnFolder() || OnlyListsTests(argc, argv)) return testing_support::RunTestProgram(argc, argv);
  return RunFromOwnFolder(argc, argv);
}
