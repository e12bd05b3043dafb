// Test programs keep the registry to themselves: on Linux each run gets a
// fresh store in a temporary folder; under Wine the prefix is the build's own.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <cstdlib>
#include <filesystem>
#include <string>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#if !defined(_WIN32)
  char folder[] = "/tmp/custodex-registry-XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  ::setenv("CUSTODEX_REGISTRY_ROOT", folder, 1);
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return result;
#else
  return RUN_ALL_TESTS();
#endif
}
