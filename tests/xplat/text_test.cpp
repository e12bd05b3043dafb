#include "xplat/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, Utf8RoundTripKeepsEveryPlane) {
  const std::wstring text = L"ascii \u00e9\u4e2d" + xplat::FromUtf16(u"\U0001F600");
  EXPECT_EQ(xplat::FromUtf8(xplat::ToUtf8(text)), text);
  EXPECT_EQ(xplat::ToUtf8(text), "ascii \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(TextTest, Utf16LeBytesUseSurrogatePairsOnEveryPlatform) {
  const std::wstring text = L"A" + xplat::FromUtf16(u"\U0001F600");
  const std::string bytes = xplat::ToUtf16LeBytes(text);
  EXPECT_EQ(bytes, std::string("A\0\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(xplat::FromUtf16LeBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), text);
}

TEST(TextTest, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(xplat::FromUtf8("a\xFF"
                            "b\xC3"),
            L"a\uFFFDb\uFFFD");
}

}  // namespace
