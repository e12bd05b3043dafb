#include "xplat/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/test_environment.h"
#include "xplat/child_process.h"
#include "xplat/environment.h"
#include "xplat/system_error.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr xplat::ErrorCode kNotFound = 2;  // ERROR_FILE_NOT_FOUND, ENOENT

std::optional<std::string> Read(const std::wstring& path) { return xplat::ReadSharedFile(path, 1 << 30); }

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = testing_support::TestFolder() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directory(folder);
  }
  std::wstring PathOf(const char* name) const { return (folder / name).wstring(); }
  void Write(const char* name, const std::string& content) const {
    std::ofstream(folder / name, std::ios::binary) << content;
  }

  fs::path folder;
};

TEST_F(FileSystemTest, CopyReplacesTheTargetAndKeepsAProgramRunnable) {
  const std::wstring target = PathOf("QVH-Host.exe");
  Write("QVH-Host.exe", "an older, longer and not runnable file");
  ASSERT_TRUE(xplat::CopyFile(testing_support::ChildProgram(), target));
  EXPECT_EQ(Read(target), Read(testing_support::ChildProgram()));

  testing_support::ChildProcesses children;
  const xplat::StartedProcess* copy = children.Start(L"exit 7", target);
  ASSERT_NE(copy, nullptr);
  ASSERT_TRUE(copy->process.WaitForExit(testing_support::kChildPatience));
  std::uint32_t code = 0;
  EXPECT_TRUE(copy->process.GetExitCode(code));
  EXPECT_EQ(code, 7u);
}

TEST_F(FileSystemTest, FailedCopyLeavesTheTargetAsItWas) {
  Write("target", "kept");
  EXPECT_FALSE(xplat::CopyFile(PathOf("absent"), PathOf("target")));
  EXPECT_EQ(xplat::LastError(), kNotFound);
  EXPECT_FALSE(xplat::CopyFile(PathOf("absent"), PathOf("new")));
  EXPECT_EQ(Read(PathOf("target")), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(FileSystemTest, DeleteAndUnlinkReportMissingFiles) {
  xplat::SetLastError(0);
  EXPECT_FALSE(xplat::DeleteFile(PathOf("absent")));
  EXPECT_EQ(xplat::LastError(), kNotFound);
  EXPECT_EQ(xplat::Unlink(PathOf("absent")), -1);

  Write("one", "1");
  Write("two", "2");
  EXPECT_TRUE(xplat::DeleteFile(PathOf("one")));
  EXPECT_EQ(xplat::Unlink(PathOf("two")), 0);
  EXPECT_FALSE(xplat::PathExists(PathOf("one")));
  EXPECT_FALSE(xplat::PathExists(PathOf("two")));
}

TEST_F(FileSystemTest, PathExistsOnlyForWhatIsThere) {
  Write("file", "x");
  EXPECT_TRUE(xplat::PathExists(PathOf("file")));
  EXPECT_TRUE(xplat::PathExists(folder.wstring()));
  EXPECT_FALSE(xplat::PathExists(PathOf("absent")));
  EXPECT_FALSE(xplat::PathExists(PathOf("file") + xplat::kPathSeparator + L"below"));
  EXPECT_FALSE(xplat::PathExists(folder.wstring() + xplat::kPathSeparator + std::wstring(5000, L'x')));
}

TEST_F(FileSystemTest, ReadsAFileAnotherHandleIsWriting) {
  std::ofstream writer(folder / "shared.log", std::ios::binary);
  writer << std::string("one\r\n\0two", 9);
  writer.flush();
  EXPECT_EQ(Read(PathOf("shared.log")), std::string("one\r\n\0two", 9));
  writer << "\nthree";
  writer.flush();
  EXPECT_EQ(Read(PathOf("shared.log")), std::string("one\r\n\0two\nthree", 15));

  xplat::SetLastError(0);
  EXPECT_EQ(Read(PathOf("absent")), std::nullopt);
  EXPECT_EQ(xplat::LastError(), kNotFound);
}

TEST_F(FileSystemTest, OnlyRegularFilesOfBoundedSizeAreRead) {
  Write("eleven", "0123456789A");
  xplat::ReadRefusal refusal = xplat::ReadRefusal::None;
  EXPECT_EQ(xplat::ReadSharedFile(PathOf("eleven"), 11, &refusal), "0123456789A");
  EXPECT_EQ(refusal, xplat::ReadRefusal::None);
  EXPECT_EQ(xplat::ReadSharedFile(PathOf("eleven"), 10, &refusal), std::nullopt);
  EXPECT_EQ(refusal, xplat::ReadRefusal::TooLarge);
  EXPECT_EQ(xplat::ReadSharedFile(folder.wstring(), 10, &refusal), std::nullopt);
  EXPECT_TRUE(xplat::IsRegularFile(PathOf("eleven")));
  EXPECT_FALSE(xplat::IsRegularFile(folder.wstring()));
  EXPECT_FALSE(xplat::IsRegularFile(PathOf("absent")));
#if !defined(_WIN32)
  EXPECT_EQ(refusal, xplat::ReadRefusal::NotRegularFile);
  // A FIFO without a writer would block open() for good; a device never ends.
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", folder / "zero");
  for (const char* special : {"fifo", "zero"}) {
    EXPECT_EQ(xplat::ReadSharedFile(PathOf(special), 1 << 30, &refusal), std::nullopt) << special;
    EXPECT_EQ(refusal, xplat::ReadRefusal::NotRegularFile) << special;
    EXPECT_FALSE(xplat::IsRegularFile(PathOf(special))) << special;
  }
#endif
}

TEST(FolderOfTest, CutsBeforeTheLastSeparator) {
  EXPECT_EQ(xplat::FolderOf(L"/opt/custodex/QVH-a.exe"), L"/opt/custodex");
  EXPECT_EQ(xplat::FolderOf(L"QVH-a.exe"), L"QVH-a.exe");
#if defined(_WIN32)
  EXPECT_EQ(xplat::FolderOf(L"C:\\Agent\\bin\\Custodex.dll"), L"C:\\Agent\\bin");
  EXPECT_EQ(xplat::FolderOf(L"C:\\Agent/bin\\x"), L"C:\\Agent/bin");
  EXPECT_EQ(xplat::FolderOf(L"C:\\Agent\\bin/x"), L"C:\\Agent\\bin");
#else
  EXPECT_EQ(xplat::FolderOf(L"/opt/a\\b"), L"/opt");
#endif
}

TEST(CommonAppDataFolderTest, NamesTheMachinesDataFolder) {
#if defined(_WIN32)
  const std::wstring folder = xplat::CommonAppDataFolder();
  EXPECT_FALSE(folder.empty());
  EXPECT_TRUE(xplat::PathExists(folder));
#else
  const std::wstring previous = xplat::ReadEnvironment(L"CUSTODEX_MACHINE_ROOT");
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", L"/srv/machine");
  EXPECT_EQ(xplat::CommonAppDataFolder(), L"/srv/machine/ProgramData");
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", L"");
  EXPECT_EQ(xplat::CommonAppDataFolder(), L"/var/lib/custodex/ProgramData");
  xplat::WriteEnvironment(L"CUSTODEX_MACHINE_ROOT", previous);
#endif
}

}  // namespace
