#include <gtest/gtest.h>

#include "hosts/host_test_support.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/text.h"

namespace {

using testing_support::ConfigFile;
using testing_support::HostsTest;
using testing_support::LogCursor;
using testing_support::ModuleEntry;
using testing_support::WriteFile;
using testing_support::WriteModuleList;

// A module file that is present beside the test program.
const std::string kPresent = xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle"));

class PolicyTest : public HostsTest {
 protected:
  PolicyTest() {
    WriteModuleList(ModuleEntry("", kPresent) + ModuleEntry("Alpha", kPresent) + ModuleEntry("Beta", kPresent));
  }
};

TEST_F(PolicyTest, NoDataIsNoPolicy) {
  LogCursor log;
  EXPECT_FALSE(module->ParseData(nullptr));
  EventData empty;
  EXPECT_FALSE(module->ParseData(&empty));
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"ParseData: Enter", L"ParseData: Exit", L"ParseData: Enter",
                                                    L"ParseData: Exit"}));
  EXPECT_EQ(module->PolicyLock()->load(), 0u);
}

TEST_F(PolicyTest, UnparsableSegmentIsReportedWithItsLineAndAddsNothing) {
  LogCursor log;
  EXPECT_TRUE(ParsePolicy("<qvhosts>\n<host name='Alpha'>\n</qvhosts>"));
  EXPECT_EQ(log.Count(L"policy XML segment had errors, Error is Start-end tags mismatch line 3 offset "), 1u);
  EXPECT_TRUE(module->Hosts().empty());
  EXPECT_EQ(module->PolicyLock()->load(), 0u) << "the lock is given back";
}

TEST_F(PolicyTest, OnlyTheExactRootAndHostEntriesInAnyCaseCount) {
  for (const char* segment : {"<QVHOSTS><host name='Alpha'/></QVHOSTS>", "<qvhost><host name='Alpha'/></qvhost>"}) {
    LogCursor log;
    EXPECT_FALSE(ParsePolicy(segment));
    EXPECT_EQ(log.Count(L"No 'qvhosts' or 'host' section(s) found, is the spellings correct?"), 1u) << segment;
  }
  EXPECT_TRUE(module->Hosts().empty());

  LogCursor log;
  EXPECT_FALSE(
      ParsePolicy("<qvhosts><Host name='Alpha'/><hosts name='Gamma'/><HOST name='Beta'/><host/>"
                  "<!-- note --><host name=''/><host name='Alpha'/></qvhosts>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"", L"Alpha", L"Beta"}));
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 4u) << "duplicates are checked again";
  EXPECT_EQ(log.Count(L"Add: insert"), 3u);
}

TEST_F(PolicyTest, SegmentInUtf16WithByteOrderMarkParsesLikeUtf8) {
  const std::string utf16 =
      std::string("\xFF\xFE", 2) + xplat::ToUtf16LeBytes(L"<qvhosts><host name=\"Beta\"/></qvhosts>");
  EXPECT_FALSE(ParsePolicy(utf16));
  EXPECT_EQ(HostNames(), std::vector<std::wstring>{L"Beta"});
}

TEST_F(PolicyTest, ModuleListEntryIsFoundByHostAndFileBesideTheProgram) {
  WriteModuleList(ModuleEntry("Foo", "modules\\Missing.dll", "First") + ModuleEntry("foo", "modules\\" + kPresent) +
                  "<module host='Foo' description='d' version='1' file='x' hash='h'/>" +
                  ModuleEntry("Foo", "modules\\" + kPresent, "Second"));
  zav::custody::HostRecord record;
  LogCursor log;
  ASSERT_TRUE(LookUp(L"Foo", record));
  EXPECT_EQ(record.moduleName, L"Second");
  EXPECT_EQ(record.filePath, L"modules\\" + xplat::FromUtf8(kPresent));
  EXPECT_EQ(record.fileName, xplat::FromUtf8(kPresent));
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig: Error retrieving module name"), 1u);
  EXPECT_EQ(log.Count(L"CheckHostModulesFromConfig: File path and name is "), 2u);
  const std::wstring found = L"CheckHostModulesFromConfig: File path and name is " +
                             xplat::FolderOf(xplat::ExecutablePath()) + xplat::kPathSeparator + record.fileName;
  EXPECT_EQ(log.Count(found), 1u) << "looked for beside the program, not in the configured folder";
  EXPECT_EQ(log.Count(L"CheckHostModulesFromConfig: " + record.fileName + L", config:host='foo' qvhost:host='Foo'"),
            1u);
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], L"CheckHostModulesFromConfig: Host Foo was found");
  EXPECT_EQ(lines.back(), L"LoadHostModulesFromConfig Exit");
}

TEST_F(PolicyTest, IncompleteOrOtherHostsEntriesAreNotMatched) {
  zav::custody::HostRecord record;
  WriteModuleList("");
  LogCursor empty;
  EXPECT_FALSE(LookUp(L"Foo", record));
  EXPECT_EQ(empty.Count(L"CheckHostModulesFromConfig: Host Foo was not found"), 1u);

  WriteModuleList("<module host='Foo' name='n' version='1' file='" + kPresent + "' hash='h'/>");
  EXPECT_TRUE(LookUp(L"Foo", record)) << "description is optional";
  EXPECT_EQ(record.fileName, xplat::FromUtf8(kPresent)) << "a file without backslash names itself";

  WriteModuleList("<module name='n' version='1' file='" + kPresent + "' hash='h'/>");
  LogCursor noHost;
  EXPECT_FALSE(LookUp(L"Foo", record));
  EXPECT_TRUE(LookUp(L"", record)) << "an entry without host matches only the empty host name";
  EXPECT_EQ(noHost.Count(L"LoadHostModulesFromConfig: No host name"), 2u);

  WriteModuleList(ModuleEntry("Foo", "modules\\Missing.dll"));
  EXPECT_FALSE(LookUp(L"Foo", record));

  WriteFile(ConfigFile(), "<configuration><other/></configuration>");
  LogCursor noSection;
  EXPECT_FALSE(LookUp(L"Foo", record));
  EXPECT_EQ(noSection.Count(L"No zavmodules found in configuration file."), 1u);
}

TEST_F(PolicyTest, UnreadableModuleListEndsTheCheckWithoutTheExitLine) {
  WriteFile(ConfigFile(), "<configuration>\n<zavmodules>\n</configuration>");
  zav::custody::HostRecord record;
  LogCursor log;
  EXPECT_FALSE(LookUp(L"Alpha", record));
  EXPECT_EQ(log.Count(L"Config XML file had errors, Error is Start-end tags mismatch line 3 offset "), 1u);
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Exit"), 0u);
  std::filesystem::remove(ConfigFile());
  LogCursor missing;
  EXPECT_FALSE(LookUp(L"Alpha", record));
  EXPECT_EQ(missing.Count(L"Config XML file had errors, Error is "), 1u);
  EXPECT_FALSE(ParsePolicy("<qvhosts><host name='Alpha'/></qvhosts>"));
  EXPECT_TRUE(module->Hosts().empty());
}

}  // namespace
