#include "xplat/dynamic_library.h"

#include <gtest/gtest.h>

#include "xplat/system_error.h"

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

namespace {

TEST(SystemErrorTest, LastErrorRoundTripsAndHasASystemText) {
  xplat::SetLastError(2);
  EXPECT_EQ(xplat::LastError(), 2u);
  const auto text = xplat::SystemMessage(2);
  ASSERT_TRUE(text.has_value());
  ASSERT_GT(text->size(), 2u);
  EXPECT_EQ(text->substr(text->size() - 2), L"\r\n");
}

}  // namespace
