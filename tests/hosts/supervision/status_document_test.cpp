// The status document: whatever the names in the registry, every answer is
// well-formed XML 1.0 in valid UTF-8, and each name can be read back.

#include "hosts/supervision/status_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <regex>
#include <string>
#include <tuple>

#include "hosts/supervision/host_events.h"
#include "hosts/supervision/status_text.h"

namespace {

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// What a strict XML 1.0 parser checks of the characters: valid UTF-8 (no
// overlong forms, no surrogates), and each character and each character
// reference one that XML allows.
bool HasOnlyXmlCharacters(const std::string& document) {
  for (std::size_t at = 0; at < document.size();) {
    const auto lead = static_cast<unsigned char>(document[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || at + length > document.size()) return false;
    std::uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
      if ((document[at + i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (document[at + i] & 0x3F);
    }
    if ((length == 3 && c < 0x800) || (length == 4 && c < 0x10000) || !IsXmlChar(c)) return false;
    at += length;
  }
  const std::regex reference("&#(x?)([0-9A-Fa-f]+);");
  for (std::sregex_iterator match(document.begin(), document.end(), reference), end; match != end; ++match) {
    if (!IsXmlChar(std::stoul((*match)[2], nullptr, (*match)[1].length() ? 16 : 10))) return false;
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
      {L"\uFFFF", L"\\uFFFF"},
      {L"<&\"'>", L"<&\"'>"},
  };
  zav::custody::HostRuns runs(false, false);
  for (const auto& [name, shown] : names) {
    zav::custody::HostContainer hosts;
    hosts[name].hostName = name;
    const std::string answer = zav::custody::HostStatusDocument(hosts, runs, nullptr, L"");
    EXPECT_TRUE(HasOnlyXmlCharacters(answer)) << answer;
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(answer.data(), answer.size(), pugi::parse_default, pugi::encoding_utf8));
    EXPECT_EQ(std::wstring(document.child(L"qvhosts").child(L"host").attribute(L"name").value()), shown);
    // A host event shows the name as the status does.
    const std::string event = zav::custody::HostEventDocument(zav::custody::HostEvent(name, L"removed"), 1, 0);
    EXPECT_TRUE(HasOnlyXmlCharacters(event)) << event;
    ASSERT_TRUE(document.load_buffer(event.data(), event.size(), pugi::parse_default, pugi::encoding_utf8));
    EXPECT_EQ(std::wstring(document.child(L"hostEvent").attribute(L"name").value()), shown);
  }
}

// An ended host's code as it was read, or "unknown" where it could not be.
// An ended host shows its exit code, or that it is unknown, and whether it
// crash-loops; the count of refused records shows only where it is given.
TEST(StatusDocumentTest, EndedHostsShowHowTheyEnded) {
  zav::custody::HostRuns runs(false, false);
  zav::custody::HostContainer hosts;
  for (const auto& [name, code, ends] : {std::tuple<std::wstring, std::optional<std::uint32_t>, int>{L"Known", 3u, 1},
                                         {L"Lost", {}, zav::custody::kCrashLoopRuns}}) {
    hosts[name].hostName = name;
    for (int end = 0; end < ends; ++end) {
      runs.Started(name, 4711, false);
      runs.Ended(name, code);
    }
  }
  for (const std::optional<std::uint64_t> dropped : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(3)}) {
    const std::string answer = zav::custody::HostStatusDocument(hosts, runs, nullptr, L"", dropped);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(answer.data(), answer.size()));
    const pugi::xml_node root = document.child(L"qvhosts");
    const pugi::xml_node known = root.find_child_by_attribute(L"host", L"name", L"Known");
    const pugi::xml_node lost = root.find_child_by_attribute(L"host", L"name", L"Lost");
    EXPECT_STREQ(known.attribute(L"exitCode").value(), L"3");
    EXPECT_STREQ(lost.attribute(L"exitCode").value(), L"unknown");
    EXPECT_STREQ(lost.attribute(L"state").value(), L"ended");
    EXPECT_STREQ(lost.attribute(L"crashLooping").value(), L"true");
    EXPECT_TRUE(known.attribute(L"crashLooping").empty());
    EXPECT_STREQ(root.attribute(L"eventsDropped").value(), dropped ? L"3" : L"");
  }
}

// Each figure of a tree only where the system tells it; memory in KiB.
TEST(StatusDocumentTest, TreeFiguresShowOnlyWhatIsKnown) {
  zav::custody::HostRuns runs(false, false);
  zav::custody::HostContainer hosts;
  hosts[L"Full"].hostName = L"Full";
  hosts[L"Bare"].hostName = L"Bare";
  const zav::custody::TreeFigures full{std::vector<std::uint32_t>{4711, 4713}, {4713}, {120, 30, 8u << 20}};
  const zav::custody::TreeFigures bare{std::vector<std::uint32_t>{}, {}, {}};
  const std::string answer = zav::custody::HostStatusDocument(
      hosts, runs, [&](const std::wstring& name) { return name == L"Full" ? full : bare; }, L"");
  pugi::xml_document document;
  ASSERT_TRUE(document.load_buffer(answer.data(), answer.size()));
  const pugi::xml_node root = document.child(L"qvhosts");
  const pugi::xml_node shown = root.find_child_by_attribute(L"host", L"name", L"Full");
  const std::pair<const wchar_t*, const wchar_t*> attributes[] = {
      {L"processes", L"4711 4713"}, {L"leftOver", L"4713"},       {L"cpuUserMs", L"120"},
      {L"cpuKernelMs", L"30"},      {L"peakMemoryKB", L"8192"}};
  for (const auto& [name, value] : attributes) {
    EXPECT_STREQ(shown.attribute(name).value(), value) << name;
    EXPECT_TRUE(root.find_child_by_attribute(L"host", L"name", L"Bare").attribute(name).empty()) << name;
  }
}

// An event's document is well-formed whatever its texts, and carries each
// value only where the event has one.
TEST(StatusDocumentTest, HostEventDocumentsCarryWhatTheirEventHas) {
  zav::custody::HostEvent full(L"a\x01<b>\\\"&", L"ended", 4711);
  full.adopted = true;
  full.exitCode = L"139";
  full.reason = L"killed by SIGSEGV";
  full.ranMs = 2;
  full.nextStartWallMs = 1765180800123;
  full.processes = std::vector<std::uint32_t>{4713, 4714};
  full.error = L"x\uFFFFy";
  const std::string answer = zav::custody::HostEventDocument(full, 17, 1765180800000);
  EXPECT_TRUE(HasOnlyXmlCharacters(answer)) << answer;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_buffer(answer.data(), answer.size()));
  const pugi::xml_node event = document.child(L"hostEvent");
  const std::pair<const wchar_t*, const wchar_t*> attributes[] = {{L"name", L"a\\u0001<b>\\\\\"&"},
                                                                  {L"kind", L"ended"},
                                                                  {L"sequence", L"17"},
                                                                  {L"time", L"2025-12-08T08:00:00.000Z"},
                                                                  {L"pid", L"4711"},
                                                                  {L"adopted", L"true"},
                                                                  {L"exitCode", L"139"},
                                                                  {L"reason", L"killed by SIGSEGV"},
                                                                  {L"ranMs", L"2"},
                                                                  {L"nextStart", L"2025-12-08T08:00:00.123Z"},
                                                                  {L"processes", L"4713 4714"},
                                                                  {L"error", L"x\\uFFFFy"}};
  for (const auto& [name, value] : attributes) EXPECT_STREQ(event.attribute(name).value(), value) << name;
  // The parser forgives a bare & or <: the text itself must escape them. A
  // backslash is doubled in plain text too.
  const std::pair<const wchar_t*, const char*> escapes[] = {
      {L"a & b", "a &amp; b"}, {L"a < b", "a &lt; b"}, {L"a \"b\"", "a &quot;b&quot;"}, {L"C:\\x", "C:\\\\x"}};
  for (const auto& [reason, escaped] : escapes) {
    zav::custody::HostEvent ended(L"Alpha", L"ended");
    ended.reason = reason;
    const std::string text = zav::custody::HostEventDocument(ended, 1, 0);
    EXPECT_NE(text.find(std::string(" reason=\"") + escaped + "\""), std::string::npos) << text;
  }
  zav::custody::HostEvent quick(L"Alpha", L"ended");
  quick.ranMs = 0;
  const std::string numbers = zav::custody::HostEventDocument(quick, UINT64_MAX, 0);
  EXPECT_NE(numbers.find(" sequence=\"18446744073709551615\""), std::string::npos) << numbers;
  EXPECT_NE(numbers.find(" ranMs=\"0\""), std::string::npos) << numbers;
  const std::string bare = zav::custody::HostEventDocument(zav::custody::HostEvent(L"Alpha", L"removed"), 18, 0);
  ASSERT_TRUE(document.load_buffer(bare.data(), bare.size()));
  EXPECT_EQ(std::distance(document.child(L"hostEvent").attributes_begin(), document.child(L"hostEvent").attributes_end()),
            4);
}

}  // namespace

TEST(StatusDocumentTest, TimesAreUtcToTheMillisecondOnEveryCalendarDay) {
  const std::pair<std::uint64_t, const wchar_t*> times[] = {
      {0, L"1970-01-01T00:00:00.000Z"},
      {951868799999, L"2000-02-29T23:59:59.999Z"},   // a leap day of a century
      {4107542400000, L"2100-03-01T00:00:00.000Z"},  // 2100 has none
      {1798761599007, L"2026-12-31T23:59:59.007Z"},
      {253402300799999, L"9999-12-31T23:59:59.999Z"},
  };
  for (const auto& [wallMs, text] : times) EXPECT_EQ(zav::custody::IsoTime(wallMs), text) << wallMs;
}
