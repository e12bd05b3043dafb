#include "xplat/loaded_module.h"

#include <gtest/gtest.h>

#include "xplat/dynamic_library.h"

namespace {

TEST(LoadedModuleTest, SeesALibraryByItsFileNameWhileItIsLoaded) {
  const std::wstring fileName = xplat::LibraryFileName(L"Hubrelle");
  xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(L"Hubrelle");
  ASSERT_TRUE(library.IsLoaded());
  EXPECT_NE(xplat::LoadedModuleHandle(fileName), 0u);
  EXPECT_EQ(xplat::LoadedModuleHandle(fileName.substr(0, fileName.size() - 1)), 0u);
  library.Free();
  EXPECT_EQ(xplat::LoadedModuleHandle(fileName), 0u);
}

TEST(LoadedModuleTest, UnknownAndEmptyNamesAreNotLoaded) {
  EXPECT_EQ(xplat::LoadedModuleHandle(xplat::LibraryFileName(L"NeverLoadedHere")), 0u);
  EXPECT_EQ(xplat::LoadedModuleHandle(L""), 0u);
}

}  // namespace
