// The XML parser is built from source in its wide-character mode; Debian's
// binary package is narrow and must not be the one linked.

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <sstream>
#include <type_traits>

namespace {

TEST(PugixmlWideTest, ParsesWideTextFromAStream) {
  static_assert(std::is_same_v<pugi::char_t, wchar_t>, "pugixml must be in wide-character mode");
  std::wistringstream stream(L"<qvhosts><host name=\"H\u00f6st\" module=\"m\"/></qvhosts>");
  pugi::xml_document document;
  const pugi::xml_parse_result result = document.load(stream);
  ASSERT_TRUE(result) << result.description();
  EXPECT_STREQ(document.child(L"qvhosts").child(L"host").attribute(L"name").value(), L"H\u00f6st");
  EXPECT_FALSE(document.load_string(L"<qvhosts><host></qvhosts>"));
}

}  // namespace
