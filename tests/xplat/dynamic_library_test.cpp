#include "xplat/dynamic_library.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "support/test_environment.h"
#include "xplat/file_version.h"
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

#if !defined(_WIN32)
// A version is what the real file's name gives after ".so.", links followed.
TEST(DynamicLibraryTest, FileVersionIsTheLinkedFilesVersionSuffix) {
  const std::filesystem::path folder = testing_support::CreateTestFolder();
  for (const char* name : {"libA.so.1.0.2", "libB.so", "libC.so.1..2", "libD.so.1.x", "libE.so.", "libF.so.1."}) {
    std::ofstream(folder / name) << "x";
  }
  std::filesystem::create_symlink("libA.so.1.0.2", folder / "libA.so.1");
  std::filesystem::create_symlink("libA.so.1", folder / "libA.so");
  const std::pair<const char*, std::optional<std::wstring>> table[] = {
      {"libA.so", L"1.0.2"}, {"libA.so.1.0.2", L"1.0.2"}, {"libB.so", std::nullopt}, {"libC.so.1..2", std::nullopt},
      {"libD.so.1.x", std::nullopt}, {"libE.so.", std::nullopt}, {"libF.so.1.", std::nullopt},
      {"libMissing.so.1", std::nullopt}};
  for (const auto& [name, version] : table) {
    EXPECT_EQ(xplat::FileVersion((folder / name).wstring()), version) << name;
  }
}
#endif

}  // namespace

namespace {

TEST(SystemErrorTest, LastErrorRoundTripsAndHasASystemText) {
  xplat::SetLastError(2);
  EXPECT_EQ(xplat::LastError(), 2u);
  const auto text = xplat::SystemMessage(2);
  ASSERT_TRUE(text.has_value());
  ASSERT_GT(text->size(), 2u);
  EXPECT_EQ(text->substr(text->size() - 2), L"\r\n");
  // On one line for records and lines of their own, also where the system has no text.
  for (const xplat::ErrorCode code : {2u, 5u, 0x7FFFFF00u}) {
    EXPECT_FALSE(xplat::ErrorText(code).empty()) << code;
    EXPECT_EQ(xplat::ErrorText(code).find_first_of(L"\r\n"), std::wstring::npos) << code;
  }
}

}  // namespace
