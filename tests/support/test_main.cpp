// Each test program keeps its side effects to itself: a fresh temporary
// folder holds its log file and, on Linux, its machine root (registry store,
// common application-data folder) and event log.
// Under Wine the prefix is the build's own.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_environment.h"
#include "xplat/environment.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::filesystem::path folder = testing_support::CreateTestFolder();
#if !defined(_WIN32)
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", (folder / "machine").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", (folder / "registry").wstring());
  xplat::WriteEnvironment(L"CUSTODEX_EVENT_LOG", (folder / "events.log").wstring());
#endif
  xplat::WriteEnvironment(L"TALLYX_LOG_FILE", (folder / "tallyx.log").wstring());
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return result;
}
