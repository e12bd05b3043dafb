#include "config/agent_config.h"

#include <gtest/gtest.h>

#include <thread>

#include "config/xml_file.h"
#include "hosts/host_test_support.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>

#include "xplat/posix/registry_store.h"
#endif

namespace {

using testing_support::ConfigFile;
using testing_support::kAgentKey;
using testing_support::kConfigKey;
using testing_support::ScopedRegistryKey;
using testing_support::WriteFile;
using zav::custody::AgentConfig;

constexpr wchar_t kSep = xplat::kPathSeparator;

class AgentConfigTest : public ::testing::Test {
 protected:
  AgentConfigTest() { std::filesystem::remove(ConfigFile()); }
  ~AgentConfigTest() override { std::filesystem::remove(ConfigFile()); }

  std::wstring Published(const wchar_t* name) {
    return xplat::ReadRegistryText(configKey.Key(), name, 1024).value_or(L"<missing>");
  }
  void WriteConfig(const std::string& server) {
    WriteFile(ConfigFile(), "<configuration>" + server + "</configuration>");
  }

  ScopedRegistryKey agentKey{kAgentKey};
  ScopedRegistryKey configKey{kConfigKey};
};

TEST_F(AgentConfigTest, FoldersFollowTheAgentsNamesOrTheirDefaults) {
  const std::wstring common = xplat::CommonAppDataFolder();
  ASSERT_FALSE(common.empty());
  const std::wstring tail = std::wstring(1, kSep) + L"data" + kSep + L"persist" + kSep + L"ZAVConfig.xml";
  EXPECT_EQ(AgentConfig().GetConfigFilePath(), common + kSep + L"Corvane" + kSep + L"DEDedad" + tail);

  agentKey.SetText(L"OEMName", L"Acme");
  AgentConfig oemOnly;
  EXPECT_EQ(oemOnly.GetConfigFilePath(), common + kSep + L"Acme" + kSep + L"DEDedad" + tail);
  EXPECT_EQ(oemOnly.CacheFolder(), common + kSep + L"Acme" + kSep + L"DEDedad" + kSep + L"data" + kSep + L"cache");

  agentKey.SetText(L"AgentName", L"Warden");
  agentKey.SetText(L"Version", L"7.1");
  AgentConfig both;
  EXPECT_EQ(both.GetConfigFilePath(), common + kSep + L"Acme" + kSep + L"Warden" + tail);
  EXPECT_EQ(both.AgentVersion(), L"7.1");
  EXPECT_EQ(zav::custody::LocateConfigFile(), both.GetConfigFilePath());
}

#if !defined(_WIN32)
// A read that fails (here for want of a descriptor) is told from a value
// that is missing, and names the system's error.
TEST_F(AgentConfigTest, ProgramFolderThatCannotBeReadIsToldFromAMissingOne) {
  configKey.SetText(L"ZAVExecutePath", L"/opt/agent");
  rlimit limits{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
  rlimit none = limits;
  none.rlim_cur = 3;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const zav::custody::ProgramFolder unreadable = AgentConfig::ReadExecutePath();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limits), 0);
  EXPECT_EQ(unreadable.path, L"");
  EXPECT_EQ(unreadable.readError, static_cast<xplat::ErrorCode>(EMFILE));
  EXPECT_EQ(AgentConfig::ReadExecutePath().path, L"/opt/agent");
  xplat::RegistryKey::DeleteTree(kConfigKey);
  EXPECT_EQ(AgentConfig::ReadExecutePath().readError, 0u) << "a missing key is no failure";
}
#endif

// A change anywhere on the path to the agent's keys counts: a repair that
// renames "SOFTWARE\Corvane" aside (deletes it, on Windows) and makes it
// anew is seen, and the values are read and published again.
TEST_F(AgentConfigTest, KeyAboveMadeAnewIsAChangeOfTheAgentsKeys) {
  agentKey.SetText(L"OEMName", L"Acme");
  ASSERT_EQ(AgentConfig().OemName(), L"Acme");
#if defined(_WIN32)
  xplat::RegistryKey::DeleteTree(L"SOFTWARE\\Corvane");  // Wine cannot rename a key
#else
  std::filesystem::rename(xplat::KeyFolder(L"SOFTWARE\\Corvane"), xplat::KeyFolder(L"SOFTWARE\\CorvaneOld"));
#endif
  xplat::RegistryKey::Create(kAgentKey).Set(L"OEMName", xplat::StringValue(L"Zenith"));
  xplat::RegistryKey::Create(kConfigKey);
  EXPECT_EQ(AgentConfig().OemName(), L"Zenith");
  EXPECT_EQ(AgentConfig::GetExecutePath(), xplat::FolderOf(xplat::ExecutablePath())) << "published again";
  xplat::RegistryKey::DeleteTree(L"SOFTWARE\\CorvaneOld");
}

TEST_F(AgentConfigTest, RegistryTextsWithoutTerminatorOrOfOddSizeReadAsEmpty) {
  agentKey.SetRaw(L"OEMName", xplat::kRegSz, std::string("A\0c\0m\0e\0", 8));  // no terminator
  agentKey.SetRaw(L"AgentName", xplat::kRegSz, std::string("W\0x\0\0", 5));    // odd size
  agentKey.SetRaw(L"Version", xplat::kRegExpandSz, std::string("%\0V\0%\0\0\0", 8));
  AgentConfig config;
  EXPECT_EQ(config.OemName(), L"");
  EXPECT_EQ(config.AgentName(), L"");
  EXPECT_EQ(config.AgentVersion(), L"%V%") << "expandable texts are taken as stored";
  configKey.SetRaw(L"ZAVExecutePath", xplat::kRegSz, std::string("C\0:\0", 4));
  EXPECT_EQ(AgentConfig::GetExecutePath(), L"");
}

// A file being rewritten, locked or lost must not wipe out what the agent's
// other components read: only missing values get the defaults.
TEST_F(AgentConfigTest, UnreadableFileKeepsThePublishedValuesAndFillsOnlyGaps) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "Error in XML file. Error is Error reading from file/stream row 1 and col 1\n"},
      {"<configuration>\n  <server address='x'>",
       "Error in XML file. Error is Start-end tags mismatch row 2 and col 22\n"}};
  const std::pair<const wchar_t*, const wchar_t*> published[] = {
      {L"MessagingServerAddress", L"server.old"}, {L"MessagingServerPort", L"8080"},
      {L"MessagingServerIsSSL", L"false"},        {L"MessagingServerProxyAddress", L"old-proxy"},
      {L"MessagingServerProxyPort", L"3128"},     {L"MessagingServerProxyUserName", L"ops"}};
  for (const auto& [content, line] : cases) {
    for (const auto& [name, value] : published) configKey.SetText(name, value);
    if (content) WriteFile(ConfigFile(), content);
    ::testing::internal::CaptureStdout();
    AgentConfig config;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), line);
    for (const auto& [name, value] : published) EXPECT_EQ(Published(name), value) << xplat::ToUtf8(name);
    EXPECT_EQ(Published(L"ZAVExecutePath"), xplat::FolderOf(xplat::ExecutablePath())) << "the folder is always known";
  }

  for (const auto& [name, value] : published) configKey.Key().Delete(name);
  configKey.SetText(L"MessagingServerPort", L"8080");
  ::testing::internal::CaptureStdout();
  AgentConfig onFreshMachine;
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"localhost");
  EXPECT_EQ(Published(L"MessagingServerPort"), L"8080");
  EXPECT_EQ(Published(L"MessagingServerIsSSL"), L"true");
  EXPECT_EQ(Published(L"MessagingServerProxyAddress"), L"<missing>");
}

#if !defined(_WIN32)
// A FIFO would block the module thread in open() for good, a device never
// ends: neither is read, and both count as an unreadable file.
TEST_F(AgentConfigTest, SpecialFilesAreNeitherWaitedOnNorRead) {
  std::filesystem::create_directories(ConfigFile().parent_path());
  configKey.SetText(L"MessagingServerAddress", L"server.old");
  ASSERT_EQ(::mkfifo(ConfigFile().c_str(), 0644), 0);
  ::testing::internal::CaptureStdout();
  AgentConfig fromFifo;
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error in XML file. Error is Error reading from file/stream row 1 and col 1\n");
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"server.old");
  std::filesystem::remove(ConfigFile());
  std::filesystem::create_symlink("/dev/zero", ConfigFile());
  ::testing::internal::CaptureStdout();
  AgentConfig fromDevice;
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"server.old");
}
#endif

TEST_F(AgentConfigTest, ServerAndProxyValuesArePublished) {
  WriteConfig(
      "<server address='' port='8443' secureport='443' usesssl='FALSE'>"
      "<proxy address='proxy.local' port='3128' username='ops' password='secret'/></server>");
  AgentConfig config;
  EXPECT_FALSE(config.LoadServerSettings());
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"") << "an empty address is published as empty";
  EXPECT_EQ(Published(L"MessagingServerPort"), L"8443");
  EXPECT_EQ(Published(L"MessagingServerIsSSL"), L"false");
  EXPECT_EQ(Published(L"MessagingServerProxyAddress"), L"proxy.local");
  EXPECT_EQ(Published(L"MessagingServerProxyPort"), L"3128");
  EXPECT_EQ(Published(L"MessagingServerProxyUserName"), L"ops");
  EXPECT_EQ(config.ServerSecurePort(), L"443");
  EXPECT_EQ(config.ProxyPassword(), L"secret");
  EXPECT_EQ(Published(L"MessagingServerProxyPassword"), L"<missing>") << "the password is never published";
  EXPECT_EQ(AgentConfig::GetExecutePath(), xplat::FolderOf(xplat::ExecutablePath()));

  WriteConfig("<server address='a'/>");
  AgentConfig withoutProxy;
  for (const wchar_t* name :
       {L"MessagingServerProxyAddress", L"MessagingServerProxyPort", L"MessagingServerProxyUserName"}) {
    EXPECT_EQ(Published(name), L"<missing>") << "a server without proxy deletes the proxy values";
  }
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"a");
  EXPECT_EQ(Published(L"MessagingServerPort"), L"80");

  WriteConfig("<other/>");
  EXPECT_TRUE(AgentConfig().LoadServerSettings()) << "no server element";
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"localhost");
}

// A configuration is made for every host of a policy, each reusing what the
// last one read and published while nothing changed. Each must still see the
// file and the Config key as they are now: an edit of the file within the
// same moment and of the same size, values others removed or replaced, a
// Config key made afresh.
TEST_F(AgentConfigTest, EachConfigurationSeesTheFileAndTheKeyAsTheyAreNow) {
  WriteConfig("<server address='alpha' port='81'/>");
  EXPECT_EQ(AgentConfig().ServerAddress(), L"alpha");
  WriteConfig("<server address='gamma' port='82'/>");
  EXPECT_EQ(AgentConfig().ServerAddress(), L"gamma");
  EXPECT_EQ(Published(L"MessagingServerPort"), L"82");

  configKey.Key().Delete(L"MessagingServerAddress");
  configKey.SetText(L"MessagingServerPort", L"9");
  AgentConfig afterOthers;
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"gamma");
  EXPECT_EQ(Published(L"MessagingServerPort"), L"82");

  configKey.Key().Close();
  xplat::RegistryKey::DeleteTree(kConfigKey);
  configKey.Key() = xplat::RegistryKey::Create(kConfigKey);
  AgentConfig afterNewKey;
  EXPECT_EQ(Published(L"MessagingServerAddress"), L"gamma");
  EXPECT_EQ(Published(L"ZAVExecutePath"), xplat::FolderOf(xplat::ExecutablePath()));
}

TEST_F(AgentConfigTest, OnlyFalseInAnyCaseTurnsSslOff) {
  const std::pair<const char*, bool> cases[] = {{" usesssl='false'", false}, {" usesssl='False'", false},
                                                {" usesssl='0'", true},      {" usesssl='no'", true},
                                                {" usesssl=''", true},       {"", true}};
  for (const auto& [attribute, expected] : cases) {
    WriteConfig(std::string("<server") + attribute + "/>");
    EXPECT_EQ(AgentConfig().UseSsl(), expected) << attribute;
  }
}

TEST_F(AgentConfigTest, WithoutTheConfigKeyNothingIsPublished) {
  configKey.Key().Close();
  xplat::RegistryKey::DeleteTree(kConfigKey);
  AgentConfig config;
  EXPECT_NE(config.WriteRegistrySettings(), 0u);
  EXPECT_FALSE(xplat::RegistryKey::Open(kConfigKey, xplat::RegistryAccess::Read).IsOpen()) << "never created";
  EXPECT_EQ(AgentConfig::GetExecutePath(), L"");
}

TEST(XmlPositionTest, RowAndColumnCountFromTheOffset) {
  const std::wstring text = L"<a>\n  <b>\n\n   x";
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 0).line, 1);
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 6).line, 2);
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 6).column, 3);
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 15).line, 4);
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 15).column, 5);
  EXPECT_EQ(zav::custody::PositionOfOffset(text, 999).line, 4) << "an offset past the end stops there";
}

// A program run from a folder whose path is longer than 255 characters
// publishes that whole folder. Windows starts programs from paths of at most
// 259 characters.
TEST_F(AgentConfigTest, LongProgramPathIsPublishedWhole) {
#if defined(_WIN32)
  const std::size_t programChars = 258;
  const std::wstring probeName = L"probe.exe";
#else
  const std::size_t programChars = 400;
  const std::wstring probeName = L"probe";
#endif
  std::filesystem::path folder = testing_support::NewFolder("long");
  while (folder.wstring().size() + 1 + probeName.size() < programChars) {
    const std::size_t missing = programChars - folder.wstring().size() - 1 - probeName.size();
    folder /= std::wstring(std::min<std::size_t>(missing > 1 ? missing - 1 : 1, 100), L'p');
  }
  std::filesystem::create_directories(folder);
  const std::filesystem::path program = folder / probeName;
  ASSERT_GT(program.wstring().size(), 255u);
  std::filesystem::copy_file(
      std::filesystem::path(xplat::FolderOf(xplat::ExecutablePath())) / (L"custodex-config-" + probeName), program);
  xplat::StartedProcess started;
  ASSERT_TRUE(xplat::StartProgram(program.wstring(), L"", started));
  for (int i = 0; i < 500 && !started.process.WaitForExit(0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::uint32_t code = 1;
  ASSERT_TRUE(started.process.GetExitCode(code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Published(L"ZAVExecutePath"), folder.wstring());
}

}  // namespace
