// The archive's base64: padding, and line breaks between characters only.

#include "module/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(Base64Test, LinesBreakBetweenCharactersAndPaddingFollowsTheLast) {
  const std::string line(72, 'A');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {std::string(54, '\0'), line},  // a whole line: no break after it
      {std::string(55, '\0'), line + "\nAA=="},
      {std::string(56, '\0'), line + "\nAAA="},
      {std::string(108, '\0'), line + "\n" + line},
  };
  for (const auto& [bytes, encoded] : cases) {
    std::string out = "x";
    zav::AppendBase64Lines(out, bytes.data(), bytes.size(), 72);
    EXPECT_EQ(out, "x" + encoded) << bytes.size() << " bytes";
  }
}

TEST(Base64Test, EveryCharacterOfTheAlphabetAndNoOtherHasAValue) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    const std::size_t at = c == 0 ? std::string::npos : alphabet.find(static_cast<char>(c));
    const int expected = at != std::string::npos ? static_cast<int>(at) : c == '=' ? 0 : -1;
    EXPECT_EQ(zav::Base64Value(static_cast<char>(c)), expected) << c;
  }
}

}  // namespace
