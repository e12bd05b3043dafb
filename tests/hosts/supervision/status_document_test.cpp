// The status document: whatever the names in the registry, every answer is
// well-formed XML 1.0 in valid UTF-8, and each name can be read back.

#include "hosts/supervision/status_document.h"

#include <gtest/gtest.h>

#include <optional>
#include <pugixml.hpp>
#include <string>

namespace {

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// The code points of strictly valid UTF-8 (no overlong forms, surrogates or
// values beyond U+10FFFF); nothing for anything else.
std::optional<std::u32string> DecodeUtf8(const std::string& bytes) {
  std::u32string text;
  for (std::size_t at = 0; at < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || at + length > bytes.size()) return std::nullopt;
    std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(bytes[at + i]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
    text += static_cast<char32_t>(c);
    at += length;
  }
  return text;
}

// What a strict XML 1.0 parser checks of the characters: each one, and
// each character reference, is a character XML allows.
bool HasOnlyXmlCharacters(const std::string& document) {
  const std::optional<std::u32string> text = DecodeUtf8(document);
  if (!text) return false;
  for (std::size_t at = 0; at < text->size(); ++at) {
    if (!IsXmlChar((*text)[at])) return false;
    if ((*text)[at] != U'&' || at + 1 >= text->size() || (*text)[at + 1] != U'#') continue;
    const bool hex = at + 2 < text->size() && (*text)[at + 2] == U'x';
    std::uint32_t value = 0;
    std::size_t digit = at + (hex ? 3 : 2);
    for (; digit < text->size() && (*text)[digit] != U';'; ++digit) {
      const char32_t d = (*text)[digit];
      value = value * (hex ? 16 : 10) + (d <= U'9' ? d - U'0' : (d | 0x20) - U'a' + 10);
    }
    if (!IsXmlChar(value)) return false;
  }
  return true;
}

TEST(StatusDocumentTest, EveryNameGivesWellFormedXmlAndReadsBackAsShown) {
  const std::wstring unpaired = std::wstring(L"x") + static_cast<wchar_t>(0xD800) + L"y";
  const std::pair<std::wstring, std::wstring> names[] = {
      {L"Alpha", L"Alpha"},
      {L"Zo\u00EB \U0001F600", L"Zo\u00EB \U0001F600"},
      {L"a\x01"
       L"b",
       L"a\\u0001b"},
      {L"tab\tline\ncr\r", L"tab\\u0009line\\u000Acr\\u000D"},
      {L"back\\slash", L"back\\\\slash"},
      {unpaired, L"x\\uD800y"},
      {std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, sizeof(wchar_t) == 2 ? L"\U0001F600" : L"\\uD83D\\uDE00"},
      {L"\uFFFE", L"\\uFFFE"},
      {L"<&\"'>", L"<&\"'>"},
  };
  zav::custody::HostRuns runs(false, false);
  for (const auto& [name, shown] : names) {
    zav::custody::HostContainer hosts;
    hosts[name].hostName = name;
    const std::string answer = zav::custody::HostStatusDocument(hosts, runs, L"");
    EXPECT_TRUE(HasOnlyXmlCharacters(answer)) << answer;
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(answer.data(), answer.size(), pugi::parse_default, pugi::encoding_utf8));
    EXPECT_EQ(std::wstring(document.child(L"qvhosts").child(L"host").attribute(L"name").value()), shown);
  }
}

}  // namespace
