#include <gtest/gtest.h>

#include <tuple>

#include "config/xml_file.h"
#include "hosts/host_test_support.h"
#include "support/fake_clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

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
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Alpha", L"Beta"}));
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 3u) << "duplicates are checked again";
  EXPECT_EQ(log.Count(L"Add: insert"), 2u);
}

// A name that cannot name a copy is refused once, as its policy is read: it
// is never looked up, added or tried again.
TEST_F(PolicyTest, NamesThatCannotNameACopyAreRefusedOnceAsThePolicyIsRead) {
  LogCursor log;
  EXPECT_FALSE(ParsePolicy("<qvhosts><host name='bad|name'/><host name=''/><host name='Alpha'/></qvhosts>"));
  EXPECT_EQ(HostNames(), std::vector<std::wstring>{L"Alpha"});
  EXPECT_EQ(log.Count(L"ParseData: 'bad|name' cannot name a host file; the host is refused"), 1u);
  EXPECT_EQ(log.Count(L"ParseData: '' cannot name a host file; the host is refused"), 1u);
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 1u);
  module->ApplyHostPolicy();
  module->ApplyHostPolicy();
  EXPECT_EQ(log.Count(L"StartProcess: Enter"), 1u) << "Alpha only";
}

// On Linux a name becomes UTF-8, where a lone surrogate would turn into
// U+FFFD: it would name another host's copy and tree.
TEST_F(PolicyTest, ANameTheFileSystemCannotKeepIsRefused) {
  const std::string segment = "<qvhosts><host name='S\xED\xA0\x80'/><host name='S\xEF\xBF\xBD'/></qvhosts>";
  LogCursor log;
  EXPECT_FALSE(ParsePolicy(segment));
  // The log, UTF-8 too, shows the lone surrogate as U+FFFD.
  const std::size_t refused = log.Count(L"ParseData: 'S\uFFFD' cannot name a host file; the host is refused");
#if defined(_WIN32)
  EXPECT_EQ(refused, 0u);
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 2u);
#else
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 1u) << "S\uFFFD is looked up";
#endif
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

// The list is parsed once per version; a list edited since, even within the
// same moment and to the same size, is read again.
TEST_F(PolicyTest, AnEditedModuleListIsReadAgain) {
  WriteModuleList(ModuleEntry("Gamma", kPresent));
  EXPECT_TRUE(LookUp(L"Gamma"));
  WriteModuleList(ModuleEntry("Delta", kPresent));
  EXPECT_FALSE(LookUp(L"Gamma"));
  EXPECT_TRUE(LookUp(L"Delta"));
}

// When the logger drops every line the scan of the list would write, the
// host's entry is found without the scan: the same entry, with the same
// values, as the scan finds.
TEST_F(PolicyTest, ALookupWhoseLinesAreDroppedFindsWhatTheScanFinds) {
  const std::string lists[] = {
      ModuleEntry("Foo", "modules\\Missing.dll", "First") + ModuleEntry("foo", kPresent, "Lower") +
          "<module host='Foo' description='d' version='1' file='x' hash='h'/>" +
          ModuleEntry("Foo", "modules\\" + kPresent, "Second") + ModuleEntry("Foo", kPresent, "Third"),
      ModuleEntry("Foo", "modules\\Missing.dll", "Only") + ModuleEntry("Foo", "..", "NoFile"),
      "<module name='n' version='1' file='" + kPresent + "' hash='h'/>",
  };
  agentKey.SetText(L"LogLevelFilter", L"!Custodex");
  zav::custody::Custodex quiet;
  for (const std::string& list : lists) {
    WriteModuleList(list);
    for (const wchar_t* host : {L"Foo", L"foo", L""}) {
      zav::custody::HostRecord scanned, indexed;
      scanned.hostName = indexed.hostName = host;
      const bool found = module->LoadHostModulesFromConfig(scanned);
      LogCursor log;
      EXPECT_EQ(quiet.LoadHostModulesFromConfig(indexed), found) << list << " " << xplat::ToUtf8(host);
      EXPECT_TRUE(log.Lines().empty());
      EXPECT_EQ(std::tie(indexed.moduleName, indexed.description, indexed.version, indexed.filePath, indexed.fileName,
                         indexed.hash),
                std::tie(scanned.moduleName, scanned.description, scanned.version, scanned.filePath, scanned.fileName,
                         scanned.hash))
          << list << " " << xplat::ToUtf8(host);
    }
  }
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

namespace {

using testing_support::HostsTest;
using testing_support::LogCursor;
using testing_support::ModuleEntry;
using testing_support::WriteModuleList;

class ModuleListTest : public HostsTest {};

// The module's file is what follows the last backslash or slash, looked for
// beside the program; what names no file there is never found.
TEST_F(ModuleListTest, OnlyAFileBesideTheProgramCountsAsTheModule) {
  const std::string present = xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle"));
  std::filesystem::create_directory(programFolder / "Folder.dll");
  const struct {
    std::string file;
    bool found;
    bool namesNoFile;
  } cases[] = {
      {"", false, true},
      {"modules\\", false, true},
      {".", false, true},
      {"..", false, true},
      {"x\\..", false, true},
      {"modules/", false, true},
      {"../../../../bin/sh", false, false},
      {"Folder.dll", false, false},
      {"modules/" + present, true, false},
      {"..\\" + present, true, false},
  };
  for (const auto& c : cases) {
    WriteModuleList(ModuleEntry("Foo", c.file));
    zav::custody::HostRecord record;
    LogCursor log;
    EXPECT_EQ(LookUp(L"Foo", record), c.found) << c.file;
    EXPECT_EQ(log.Count(L"CheckHostModulesFromConfig: file '" + xplat::FromUtf8(c.file) + L"' names no module file"),
              c.namesNoFile ? 1u : 0u)
        << c.file;
    if (c.found) {
      EXPECT_EQ(record.fileName, xplat::FromUtf8(present));
    }
  }
  std::filesystem::remove(programFolder / "Folder.dll");
}

TEST_F(ModuleListTest, EveryRequiredAttributeIsRequired) {
  const std::string present = xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle"));
  const std::string full = "host='Foo' name='n' version='1' file='" + present + "' hash='h'";
  for (const auto& [attribute, line] :
       std::vector<std::pair<std::string, std::wstring>>{{"name", L"Error retrieving module name"},
                                                         {"version", L"Error retrieving version"},
                                                         {"file", L"Error retrieving file"},
                                                         {"hash", L"Error retrieving hash"}}) {
    std::string entry = full;
    const std::size_t at = entry.find(" " + attribute + "='");
    entry.erase(at, entry.find('\'', entry.find('\'', at) + 1) + 1 - at);
    WriteModuleList("<module " + entry + "/>");
    LogCursor log;
    EXPECT_FALSE(LookUp(L"Foo")) << attribute;
    EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig: " + line), 1u) << attribute;
  }
}

// The file is decoded as the parser detects it, so a name outside ASCII in
// the module list matches the same name in the policy.
TEST_F(ModuleListTest, NamesOutsideAsciiMatchInEveryEncodingTheParserDetects) {
  const std::string present = xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle"));
  const std::wstring office = L"B\u00fcro";
  const std::string list =
      "<configuration><zavmodules>" + ModuleEntry(xplat::ToUtf8(office), present) + "</zavmodules></configuration>";
  std::string latin1 = list;
  latin1.replace(latin1.find("\xC3\xBC"), 2, "\xFC");
  const std::pair<const char*, std::string> files[] = {
      {"UTF-8", list},
      {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + list},
      {"declared ISO-8859-1", "<?xml version='1.0' encoding='ISO-8859-1'?>" + latin1},
      {"UTF-16 with byte-order mark", std::string("\xFF\xFE", 2) + xplat::ToUtf16LeBytes(xplat::FromUtf8(list))},
  };
  for (const auto& [encoding, bytes] : files) {
    testing_support::WriteFile(testing_support::ConfigFile(), bytes);
    EXPECT_TRUE(LookUp(office)) << encoding;
  }
  EXPECT_FALSE(ParsePolicy("<qvhosts><host name='B\xC3\xBCro'/></qvhosts>"));
  EXPECT_EQ(HostNames(), std::vector<std::wstring>{office});
}

#if !defined(_WIN32)
// A FIFO would block the module thread in open() for good; a huge file
// would be read whole. Neither is read, each with its reason.
TEST_F(ModuleListTest, SpecialAndOversizedListsAreRefusedUnread) {
  const std::filesystem::path list = testing_support::ConfigFile();
  std::filesystem::create_directories(list.parent_path());
  ASSERT_EQ(::mkfifo(list.c_str(), 0644), 0);
  LogCursor fifo;
  EXPECT_FALSE(LookUp(L"Foo"));
  EXPECT_EQ(fifo.Count(L"LoadHostModulesFromConfig: " + list.wstring() + L" is not a regular file; it is not read"),
            1u);
  EXPECT_EQ(fifo.Count(L"Config XML file had errors, Error is Error reading from file/stream"), 1u);
  std::filesystem::remove(list);
  testing_support::WriteFile(list, "<configuration/>");
  std::filesystem::resize_file(list, zav::custody::kMaxXmlFileBytes + 1);
  LogCursor huge;
  EXPECT_FALSE(LookUp(L"Foo"));
  EXPECT_EQ(
      huge.Count(L"LoadHostModulesFromConfig: " + list.wstring() + L" is larger than 16777216 bytes; it is not read"),
      1u);
}
#endif

// The policy lock is a spin lock: held elsewhere, the parse waits for it a
// millisecond at a time and starts only once it is free.
TEST_F(ModuleListTest, PolicyLockHeldElsewhereIsWaitedFor) {
  module->PolicyLock()->store(1);
  testing_support::FakeClock clock;
  clock.onSleep = [&](std::uint32_t) {
    if (clock.Sleeps().size() == 3) module->PolicyLock()->store(0);
  };
  LogCursor log;
  EXPECT_FALSE(ParsePolicy("<qvhosts/>"));
  EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{1, 1, 1}));
  EXPECT_EQ(log.Count(L"qvhosts XML successfully loaded."), 1u);
}

}  // namespace
