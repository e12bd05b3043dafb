// Hostile policies and module lists: each is read, or refused, in bounded
// time without expanding anything, and a policy that does not parse leaves
// the host map as it was.

#include <gtest/gtest.h>

#include "hosts/host_test_support.h"
#include "xplat/dynamic_library.h"
#include "xplat/text.h"

namespace {

using testing_support::ConfigFile;
using testing_support::HostsTest;
using testing_support::LogCursor;
using testing_support::ModuleEntry;
using testing_support::WriteFile;
using testing_support::WriteModuleList;

const std::string kPresent = xplat::ToUtf8(xplat::LibraryFileName(L"Hubrelle"));

std::string Repeat(const std::string& text, std::size_t times) {
  std::string repeated;
  repeated.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

std::string Nested(std::size_t depth, const std::string& inner) {
  return Repeat("<a>", depth) + inner + Repeat("</a>", depth);
}

// Ten levels of ten references each: a billion "lol"s if anyone expanded them.
std::string EntityBomb(const std::string& root) {
  std::string doctype = "<!DOCTYPE " + root + " [<!ENTITY lol0 \"lol\">";
  for (int level = 1; level < 10; ++level) {
    doctype +=
        "<!ENTITY lol" + std::to_string(level) + " \"" + Repeat("&lol" + std::to_string(level - 1) + ";", 10) + "\">";
  }
  return doctype + "<!ENTITY secret SYSTEM \"/etc/passwd\">]>";
}

class PolicyRobustnessTest : public HostsTest {
 protected:
  PolicyRobustnessTest() {
    WriteModuleList(ModuleEntry("Alpha", kPresent) + ModuleEntry("Beta", kPresent));
    AddHost(L"Kept");
  }
};

TEST_F(PolicyRobustnessTest, DeepNestingIsReadWithoutRecursion) {
  constexpr std::size_t kDepth = 100000;
  EXPECT_FALSE(ParsePolicy("<qvhosts>" + Nested(kDepth, "<host name='Beta'/>") + "<host name='Alpha'>" +
                           Nested(kDepth, "") + "</host></qvhosts>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Alpha", L"Kept"})) << "only the root's own children are hosts";
  module->Hosts().erase(L"Alpha");

  const std::string ignoredSections = Repeat("<![IGNORE[", kDepth) + Repeat("]]>", kDepth);
  EXPECT_FALSE(ParsePolicy("<!DOCTYPE qvhosts [" + ignoredSections + "]><qvhosts><host name='Beta'/></qvhosts>"));
  EXPECT_TRUE(ParsePolicy("<qvhosts>" + Repeat("<a>\n", kDepth)));
  EXPECT_TRUE(ParsePolicy("<!DOCTYPE qvhosts [" + Repeat("<![IGNORE[", kDepth) + "]><qvhosts/>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Beta", L"Kept"}));

  WriteModuleList(Nested(kDepth, ModuleEntry("Beta", kPresent)) + ModuleEntry("Alpha", kPresent));
  EXPECT_TRUE(LookUp(L"Alpha"));
  EXPECT_FALSE(LookUp(L"Beta")) << "an entry nested in another child is no entry";
  WriteFile(ConfigFile(), "<configuration><zavmodules>" + Repeat("<a>\n", kDepth));
  EXPECT_FALSE(LookUp(L"Alpha"));
}

TEST_F(PolicyRobustnessTest, DocumentTypeDeclarationsAreSkippedAndEntitiesNeverExpanded) {
  WriteModuleList(
      ModuleEntry("&amp;lol9;", kPresent) + ModuleEntry("&secret;", kPresent) + ModuleEntry("Alpha", kPresent),
      EntityBomb("configuration"));
  EXPECT_TRUE(LookUp(L"&secret;")) << "a reference to an external entity stays as written";
  EXPECT_FALSE(ParsePolicy(EntityBomb("qvhosts") + "<qvhosts><host name='&lol9;'/><host name='&secret;'/></qvhosts>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"&lol9;", L"&secret;", L"Kept"}));

  // An external subset is never fetched, and its attribute defaults do not apply.
  LogCursor log;
  EXPECT_FALSE(
      ParsePolicy("<!DOCTYPE qvhosts SYSTEM \"http://localhost:1/hosts.dtd\" [<!ATTLIST host name CDATA 'Beta'>]>"
                  "<qvhosts><host/><host name='Alpha'/></qvhosts>"));
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 1u);
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"&lol9;", L"&secret;", L"Alpha", L"Kept"}));
}

TEST_F(PolicyRobustnessTest, BadEncodingsAndDuplicateAttributesAreReadAsTheyCome) {
  EXPECT_FALSE(
      ParsePolicy("<qvhosts><host name='\xC3\x28\xFF\xED\xA0\x80'/><host name='&#x110000;&#xD800;&#xFFFFFFFFF;'/>"
                  "<host name='Beta' name='Alpha'/></qvhosts>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Beta", L"Kept"})) << "the first of duplicate attributes counts";

  const std::string loneSurrogate = std::string("\xFF\xFE<\0\n\0\x00\xD8", 8);
  EXPECT_TRUE(ParsePolicy(loneSurrogate)) << "UTF-16 cut after a lone surrogate";
  EXPECT_TRUE(ParsePolicy(std::string("<\0\0\0\n\0\0\0\xFF\xFF\xFF\xFF", 12))) << "UTF-32 beyond the last code point";
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Beta", L"Kept"}));

  WriteModuleList(
      "<module host='\xC3\x28\xFF' name='\xFF' version='\x80' file='\xFE' hash='\xC0'/>"
      "<module host='&#x110000;' name='&#xD800;' version='&#xFFFFFFFFF;' file='&#0;' hash='h'/>"
      "<module host='Alpha' host='Beta' name='n' version='1' file='" +
      kPresent + "' hash='h'/>");
  EXPECT_TRUE(LookUp(L"Alpha"));
  EXPECT_FALSE(LookUp(L"Beta"));
}

TEST_F(PolicyRobustnessTest, DocumentsOfSeveralMegabytesAreReadOnce) {
  const std::string filler(2 << 20, 'x');
  const std::string policy = "<qvhosts><!--" + filler + "-->" + filler + "<host name='Alpha' note='" + filler +
                             "'/><host name='" + filler.substr(0, 1 << 20) + "'/>";
  LogCursor log;
  EXPECT_TRUE(ParsePolicy(policy)) << "cut before its end";
  EXPECT_EQ(HostNames(), std::vector<std::wstring>{L"Kept"});
  EXPECT_FALSE(ParsePolicy(policy + "</qvhosts>"));
  EXPECT_EQ(HostNames(), (std::vector<std::wstring>{L"Alpha", L"Kept"}));
  EXPECT_EQ(log.Count(L"LoadHostModulesFromConfig Enter"), 1u) << "a name of a megabyte is refused as it is read";

  std::string entries;
  for (int i = 0; i < 20000; ++i) entries += ModuleEntry("Other" + std::to_string(i), kPresent);
  WriteModuleList(entries + "<module note='" + filler + "'/>" + ModuleEntry("Beta", kPresent));
  EXPECT_TRUE(LookUp(L"Beta"));
}

}  // namespace
