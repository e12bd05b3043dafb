#include "xplat/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_environment.h"

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
}

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
