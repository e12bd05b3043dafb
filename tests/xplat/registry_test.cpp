#include "xplat/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <optional>
#include <thread>

#include "support/test_environment.h"
#include "xplat/environment.h"
#include "xplat/registry_watch.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "xplat/posix/registry_store.h"
#endif

namespace {

using testing_support::ScopedRegistryKey;

constexpr wchar_t kTestKey[] = L"SOFTWARE\\CustodexTests\\Registry";

TEST(RegistryTest, ValuesKeepTheirTypeAndRawBytes) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetRaw(L"Odd", xplat::kRegSz, std::string("a\0b", 3));
  scoped.SetRaw(L"Dword", xplat::kRegDword, std::string("\x01\x02\x03\x04", 4));
  scoped.SetText(L"Text", L"C:\\Agent");

  xplat::RegistryKey key = xplat::RegistryKey::Open(kTestKey, xplat::RegistryAccess::Read);
  ASSERT_TRUE(key.IsOpen());
  xplat::RegistryValue value;
  ASSERT_EQ(key.Query(L"Odd", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(value.type, xplat::kRegSz);
  EXPECT_EQ(value.bytes, (std::vector<std::uint8_t>{'a', 0, 'b'}));
  ASSERT_EQ(key.Query(L"Dword", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(value.type, xplat::kRegDword);
  EXPECT_EQ(value.bytes.size(), 4u);
  ASSERT_EQ(key.Query(L"Text", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(value.bytes.size(), (8u + 1) * 2);
  EXPECT_EQ(xplat::ValueText(value), L"C:\\Agent");
}

TEST(RegistryTest, KeyAndValueNamesIgnoreCase) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"LogLevelFilter", L"one");
  xplat::RegistryKey key = xplat::RegistryKey::Open(L"software\\custodextests\\REGISTRY", xplat::RegistryAccess::Read);
  ASSERT_TRUE(key.IsOpen());
  xplat::RegistryValue value;
  ASSERT_EQ(key.Query(L"LOGLEVELFILTER", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(xplat::ValueText(value), L"one");
}

TEST(RegistryTest, ReportsMissingKeysValuesAndSmallBuffers) {
  xplat::ErrorCode error = 0;
  EXPECT_FALSE(
      xplat::RegistryKey::Open(L"SOFTWARE\\CustodexTests\\Absent", xplat::RegistryAccess::Read, &error).IsOpen());
  EXPECT_EQ(error, xplat::kErrorFileNotFound);

  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"Long", std::wstring(300, L'x'));
  xplat::RegistryValue value;
  EXPECT_EQ(scoped.Key().Query(L"Absent", 100, value), xplat::kErrorFileNotFound);
  EXPECT_EQ(scoped.Key().Query(L"Long", 259 * 2, value), xplat::kErrorMoreData);
  EXPECT_TRUE(scoped.Key().HasValue(L"long"));
  EXPECT_FALSE(scoped.Key().HasValue(L"Absent"));
}

#if !defined(_WIN32)
// The store's value files are plain files another program could replace:
// a FIFO must not block the reader, a huge file must not be read whole.
TEST(RegistryTest, StoreFilesThatAreNoValuesAreNeitherWaitedOnNorReadWhole) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"Fifo", L"x");
  scoped.SetText(L"Huge", L"x");
  const std::filesystem::path folder =
      std::filesystem::path(xplat::ToUtf8(xplat::ReadEnvironment(L"CUSTODEX_REGISTRY_ROOT"))) / "HKLM" / "software" /
      "custodextests" / "registry";
  ASSERT_TRUE(std::filesystem::exists(folder / "=fifo"));
  std::filesystem::remove(folder / "=fifo");
  ASSERT_EQ(::mkfifo((folder / "=fifo").c_str(), 0644), 0);
  std::filesystem::resize_file(folder / "=huge",
                               std::uintmax_t{64} << 30);  // sparse: nothing to read, much to allocate

  xplat::RegistryValue value;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(scoped.Key().Query(L"Fifo", 1024, value), xplat::kErrorInvalidData);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "registry: " + (folder / "=fifo").string() + " is not a regular file; the value reads as missing\n");
  EXPECT_EQ(scoped.Key().Query(L"Huge", 1024, value), xplat::kErrorMoreData);
  EXPECT_EQ(xplat::ReadRegistryText(scoped.Key(), L"Huge", 1024), std::nullopt);
  EXPECT_EQ(scoped.Key().Set(L"Huge", xplat::StringValue(L"small again")), xplat::kErrorSuccess);
  EXPECT_EQ(xplat::ReadRegistryText(scoped.Key(), L"Huge", 1024), L"small again");
}

// While it lives, no descriptor can be opened: the limit is lowered to the
// lowest free one, and given back whatever the test's outcome.
class NoDescriptorLeft {
 public:
  NoDescriptorLeft() {
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowestFree);
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~NoDescriptorLeft() { ::setrlimit(RLIMIT_NOFILE, &saved); }

 private:
  rlimit saved{};
};

// A value that is there but cannot be opened is a failed read, with the
// system's error, never a missing value.
TEST(RegistryTest, ValueThatCannotBeOpenedIsAFailedReadNotAMissingOne) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"Value", L"there");
  xplat::RegistryValue value;
  xplat::ErrorCode queried = xplat::kErrorSuccess;
  xplat::ErrorCode systemError = 0;
  {
    NoDescriptorLeft exhausted;
    EXPECT_EQ(scoped.Key().Query(L"Value", 100, value), xplat::kErrorTooManyOpenFiles);
    EXPECT_EQ(xplat::ReadRegistryText(scoped.Key(), L"Value", 100, &queried), std::nullopt);
    systemError = xplat::LastError();
  }
  EXPECT_TRUE(xplat::IsReadFailure(queried));
  EXPECT_EQ(systemError, static_cast<xplat::ErrorCode>(EMFILE));
  EXPECT_EQ(xplat::ReadRegistryText(scoped.Key(), L"Value", 100), L"there") << "the limit is back";
}
#endif

TEST(RegistryTest, SetReplacesAndDeleteRemoves) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"Value", L"first");
  scoped.SetText(L"Value", L"second");
  xplat::RegistryValue value;
  ASSERT_EQ(scoped.Key().Query(L"Value", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(xplat::ValueText(value), L"second");
  EXPECT_EQ(scoped.Key().Delete(L"Value"), xplat::kErrorSuccess);
  EXPECT_EQ(scoped.Key().Query(L"Value", 100, value), xplat::kErrorFileNotFound);
  EXPECT_EQ(scoped.Key().Delete(L"Value"), xplat::kErrorFileNotFound);
}

// What a watch must see, and what it must not take for a change: reads, and
// a value set again as it is stored.
TEST(RegistryTest, AWatchSeesEveryChangeOfItsKeyAndNothingElse) {
  ScopedRegistryKey scoped(kTestKey);
  scoped.SetText(L"Kept", L"same");
  xplat::RegistryKeyWatch watch;
  EXPECT_FALSE(watch.Unchanged(kTestKey)) << "nothing is known before the first look";
  ASSERT_TRUE(watch.Watch(kTestKey));
  xplat::RegistryValue value;
  scoped.Key().Query(L"Kept", 64, value);
  scoped.SetText(L"Kept", L"same");
  EXPECT_TRUE(watch.Unchanged(kTestKey));
  EXPECT_FALSE(watch.Unchanged(std::wstring(kTestKey) + L"\\Other"));

  const std::function<void()> changes[] = {
      [&] { scoped.SetText(L"Kept", L"other"); },
      [&] { scoped.Key().Delete(L"Kept"); },
      [&] { ScopedRegistryKey child(std::wstring(kTestKey) + L"\\Child"); },
      [&] {
        scoped.Key().Close();
        xplat::RegistryKey::DeleteTree(kTestKey);
        scoped.Key() = xplat::RegistryKey::Create(kTestKey);
      },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    scoped.SetText(L"Kept", L"same");
    ASSERT_TRUE(watch.Watch(kTestKey)) << i;
    changes[i]();
    EXPECT_FALSE(watch.Unchanged(kTestKey)) << i;
    EXPECT_FALSE(watch.Unchanged(kTestKey)) << i << ": a change stays seen until the next watch";
  }
  scoped.Key().Close();
  xplat::RegistryKey::DeleteTree(kTestKey);
  EXPECT_FALSE(watch.Watch(kTestKey)) << "a missing key cannot be watched";
  EXPECT_FALSE(watch.Unchanged(kTestKey));
}

// The key or any key above it deleted or renamed, then made anew, is a
// change of the key.
TEST(RegistryTest, AChangeOnThePathToAKeyIsAChangeOfTheKey) {
  ScopedRegistryKey scoped(kTestKey);
  const std::wstring parent = std::wstring(kTestKey) + L"\\Parent";
  const std::wstring key = parent + L"\\Key";
  std::vector<std::function<void()>> changes = {
      [&] { xplat::RegistryKey::DeleteTree(key); },
      [&] { xplat::RegistryKey::DeleteTree(parent); },
      [&] {
        scoped.Key().Close();
        xplat::RegistryKey::DeleteTree(kTestKey);
      },
  };
#if !defined(_WIN32)  // Wine cannot rename a key
  for (const std::wstring& above : {key, parent, std::wstring(kTestKey)}) {
    changes.push_back([above] {
      xplat::RegistryKey::DeleteTree(above + L"Old");
      std::filesystem::rename(xplat::KeyFolder(above), xplat::KeyFolder(above + L"Old"));
    });
  }
#endif
  xplat::RegistryKeyWatch watch;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    xplat::RegistryKey::Create(key);
    ASSERT_TRUE(watch.Watch(key)) << i;
    changes[i]();
    xplat::RegistryKey::Create(key);
    EXPECT_FALSE(watch.Unchanged(key)) << i;
  }
  xplat::RegistryKey::DeleteTree(std::wstring(kTestKey) + L"Old");
}

// Beside the path nothing counts: a value of a key above, a key below a
// sibling. Windows watches each key above for the names of all its
// subkeys, so only the store can pass over a sibling made beside the path.
TEST(RegistryTest, ChangesBesideThePathToAKeyAreNoChangeOfTheKey) {
  ScopedRegistryKey scoped(kTestKey);
  const std::wstring parent = std::wstring(kTestKey) + L"\\Parent";
  const std::wstring key = parent + L"\\Key";
  const std::wstring sibling = parent + L"\\Sibling";
  const auto setValue = [](const std::wstring& path) {
    return [path] { xplat::RegistryKey::Create(path).Set(L"Value", xplat::StringValue(L"x")); };
  };
  const auto makeKey = [](const std::wstring& path) { return [path] { xplat::RegistryKey::Create(path); }; };
  std::vector<std::function<void()>> changes = {setValue(kTestKey), setValue(parent), setValue(sibling),
                                                makeKey(sibling + L"\\Below")};
#if !defined(_WIN32)
  changes.push_back(makeKey(parent + L"\\New"));
  changes.push_back(makeKey(std::wstring(kTestKey) + L"\\New"));
#endif
  xplat::RegistryKey::Create(key);
  xplat::RegistryKey::Create(sibling);
  xplat::RegistryKeyWatch watch;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    ASSERT_TRUE(watch.Watch(key)) << i;
    changes[i]();
    EXPECT_TRUE(watch.Unchanged(key)) << i;
  }
}

TEST(RegistryTest, SubkeysAndValuesOfOneNameLiveSideBySide) {
  ScopedRegistryKey parent(kTestKey);
  ScopedRegistryKey child(std::wstring(kTestKey) + L"\\Config");
  parent.SetText(L"Config", L"value");
  xplat::RegistryValue value;
  ASSERT_EQ(parent.Key().Query(L"Config", 100, value), xplat::kErrorSuccess);
  EXPECT_EQ(xplat::ValueText(value), L"value");
  EXPECT_TRUE(xplat::RegistryKey::Open(std::wstring(kTestKey) + L"\\Config", xplat::RegistryAccess::Read).IsOpen());
}

TEST(RegistryTest, ReadOnlyKeyRefusesWrites) {
  ScopedRegistryKey scoped(kTestKey);
  xplat::RegistryKey key = xplat::RegistryKey::Open(kTestKey, xplat::RegistryAccess::Read);
  EXPECT_NE(key.Set(L"Value", xplat::StringValue(L"x")), xplat::kErrorSuccess);
}

}  // namespace

namespace {

TEST(RegistryTest, ReadersNeverSeeAHalfWrittenValue) {
  ScopedRegistryKey scoped(kTestKey);
  const std::wstring shortText(50, L'a');
  const std::wstring longText(400, L'b');
  scoped.SetText(L"Value", shortText);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    xplat::RegistryKey key = xplat::RegistryKey::Open(kTestKey, xplat::RegistryAccess::AllAccess);
    for (int i = 0; i < 300; ++i) key.Set(L"Value", xplat::StringValue(i % 2 ? shortText : longText));
    done = true;
  });
  xplat::RegistryKey key = xplat::RegistryKey::Open(kTestKey, xplat::RegistryAccess::Read);
  int reads = 0;
  while (!done || reads == 0) {
    xplat::RegistryValue value;
    ASSERT_EQ(key.Query(L"Value", 4096, value), xplat::kErrorSuccess);
    const std::wstring text = xplat::ValueText(value);
    ASSERT_TRUE(text == shortText || text == longText) << "read " << text.size() << " characters";
    ++reads;
  }
  writer.join();
}

}  // namespace

namespace {

using namespace std::string_literals;

struct TextCase {
  const wchar_t* name;
  std::uint32_t type;
  std::string bytes;
  std::optional<std::wstring> text;
};

std::string Units(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return bytes;
}

TEST(RegistryTest, RegistryTextIsATerminatedStringTypeWithinTheCapacity) {
  constexpr std::size_t kCapacity = 8;
  const std::vector<TextCase> cases = {
      {L"Sz", xplat::kRegSz, Units(u"C:\\A\0"s), L"C:\\A"},
      {L"ExpandSz", xplat::kRegExpandSz, Units(u"%TEMP%\0"s), L"%TEMP%"},
      {L"Binary", xplat::kRegBinary, Units(u"text\0"s), std::nullopt},
      {L"Dword", xplat::kRegDword, std::string("\x41\0\0\0", 4), std::nullopt},
      {L"MultiSz", xplat::kRegMultiSz, Units(u"a\0\0"s), std::nullopt},
      {L"Empty", xplat::kRegSz, "", L""},
      {L"EmptyBinary", xplat::kRegBinary, "", std::nullopt},
      {L"OneByte", xplat::kRegSz, std::string("\0", 1), std::nullopt},
      {L"TerminatorOnly", xplat::kRegSz, Units(u"\0"s), L""},
      {L"OddSize", xplat::kRegSz, Units(u"ab\0"s) + 'c', std::nullopt},
      {L"OddSizeEndingInZeros", xplat::kRegSz, Units(u"ab\0"s) + '\0', std::nullopt},
      {L"Unterminated", xplat::kRegSz, Units(u"abcd"), std::nullopt},
      {L"TextAfterTerminator", xplat::kRegExpandSz, Units(u"ab\0cd\0"s), L"ab"},
      {L"FillsTheCapacity", xplat::kRegSz, Units(u"1234567\0"s), L"1234567"},
      {L"PastTheCapacity", xplat::kRegSz, Units(u"12345678\0"s), std::nullopt},
  };
  ScopedRegistryKey scoped(kTestKey);
  for (const TextCase& c : cases) scoped.SetRaw(c.name, c.type, c.bytes);

  xplat::RegistryKey key = xplat::RegistryKey::Open(kTestKey, xplat::RegistryAccess::Read);
  for (const TextCase& c : cases) {
    EXPECT_EQ(xplat::ReadRegistryText(key, c.name, kCapacity), c.text) << xplat::ToUtf8(c.name);
  }
  EXPECT_EQ(xplat::ReadRegistryText(key, L"Missing", kCapacity), std::nullopt);
  EXPECT_EQ(xplat::ReadRegistryText(xplat::RegistryKey(), L"Sz", kCapacity), std::nullopt) << "no key";
}

}  // namespace
