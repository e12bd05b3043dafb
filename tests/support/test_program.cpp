#include "support/test_program.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_environment.h"
#include "xplat/environment.h"

namespace testing_support {

int RunTestProgram(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::filesystem::path folder = CreateTestFolder();
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

}  // namespace testing_support
