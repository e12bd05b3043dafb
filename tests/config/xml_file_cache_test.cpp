#include "config/xml_file_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "hosts/host_test_support.h"

namespace {

namespace fs = std::filesystem;
using zav::custody::XmlFileCache;

class XmlFileCacheTest : public ::testing::Test {
 protected:
  // Written long enough ago that its version alone can be trusted.
  void WriteAged(const fs::path& file, const std::string& text, std::chrono::hours age = std::chrono::hours(1)) {
    testing_support::WriteFile(file, text);
    fs::last_write_time(file, written - age);
  }
  std::wstring RootName(const std::wstring& path) {
    const auto loaded = cache.Load(path);
    return loaded->result ? loaded->document.document_element().name() : L"<error>";
  }

  fs::path folder = testing_support::NewFolder("xml-cache");
  fs::path list = folder / "ZAVConfig.xml";
  fs::file_time_type written = fs::file_time_type::clock::now();
  XmlFileCache cache;
};

// Any part of the version that differs makes the file parsed again: its
// content, its size, which file it is.
TEST_F(XmlFileCacheTest, AParseServesOnlyTheVersionItWasMadeFrom) {
  WriteAged(list, "<aaaa/>");
  const auto first = cache.Load(list.wstring());
  EXPECT_EQ(cache.Load(list.wstring()), first) << "the same version is parsed once";

  WriteAged(list, "<bbbb/>", std::chrono::hours(2));
  EXPECT_EQ(RootName(list.wstring()), L"bbbb") << "same size, another write time";

  WriteAged(list, "<ccccc/>", std::chrono::hours(2));
  EXPECT_EQ(RootName(list.wstring()), L"ccccc") << "same write time, another size";

  WriteAged(folder / "next.xml", "<ddddd/>", std::chrono::hours(2));
  fs::rename(folder / "next.xml", list);
  EXPECT_EQ(RootName(list.wstring()), L"ddddd") << "same size and write time, another file";
}

// A file written just before it was read may be written again within the
// same tick of the file system's clock: until it has aged, it is read again.
TEST_F(XmlFileCacheTest, ARecentFileIsReadAgainUntilItHasAged) {
  testing_support::WriteFile(list, "<aaaa/>");
  const auto stamp = fs::last_write_time(list);
  EXPECT_EQ(RootName(list.wstring()), L"aaaa");
  testing_support::WriteFile(list, "<bbbb/>");
  fs::last_write_time(list, stamp);
  EXPECT_EQ(RootName(list.wstring()), L"bbbb");
}

TEST_F(XmlFileCacheTest, ErrorsComeAgainEveryTime) {
  WriteAged(list, "<a><b></a>");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(cache.Load(list.wstring())->result.status, pugi::status_end_element_mismatch);
  fs::remove(list);
  EXPECT_EQ(cache.Load(list.wstring())->result.status, pugi::status_io_error);
}

}  // namespace
