#include "xplat/dynamic_library.h"

#include <gtest/gtest.h>

namespace {

TEST(DynamicLibraryTest, LoadsByBareNameAndFindsExports) {
  xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(L"Hubrelle");
  ASSERT_TRUE(library.IsLoaded());
  EXPECT_NE(library.Symbol("GetEventQueueInstance"), nullptr);
  EXPECT_EQ(library.Symbol("NoSuchExport"), nullptr);
  library.Free();
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.Symbol("GetEventQueueInstance"), nullptr);
}

TEST(DynamicLibraryTest, MissingLibraryStaysUnloaded) {
  xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(L"NoSuchLibrary");
  EXPECT_FALSE(library.IsLoaded());
}

TEST(DynamicLibraryTest, FileNamesFollowThePlatform) {
#if defined(_WIN32)
  EXPECT_EQ(xplat::LibraryFileName(L"Hubrelle"), L"Hubrelle.dll");
#else
  EXPECT_EQ(xplat::LibraryFileName(L"Hubrelle"), L"libHubrelle.so");
#endif
  EXPECT_EQ(xplat::LibraryFileName(L"Custodex.dll"), L"Custodex.dll");
}

TEST(DynamicLibraryTest, ExecutablePathNamesThisProgram) {
  EXPECT_NE(xplat::ExecutablePath().find(L"xplat_tests"), std::wstring::npos);
}

}  // namespace
