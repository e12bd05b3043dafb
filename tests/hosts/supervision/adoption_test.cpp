// Which running process is a host's, for adoption.

#include "hosts/supervision/adoption.h"

#include <gtest/gtest.h>

#include "xplat/text.h"

namespace {

TEST(AdoptionTest, ProcessOfAHostRunsItsCopyOrTheSharedImageWithTheWholeName) {
  const std::wstring copy = L"/agent/QVH-Two Words.exe";
  const std::wstring shared = L"/agent/qvhost.exe";
  struct Case {
    std::wstring image;
    std::vector<std::wstring> arguments;
    bool ofTheHost;
  };
  const Case cases[] = {
      {copy, {L"-m", L"Two", L"Words"}, true},
      {shared, {L"-m", L"Two", L"Words"}, true},
      {copy, {L"-m", L"Two"}, false},
      {copy, {L"-m", L"Two", L"Words", L"More"}, false},
      {copy, {L"-x", L"Two", L"Words"}, false},
      {copy, {L"Two", L"Words"}, false},
      {L"/agent/QVH-Two.exe", {L"-m", L"Two", L"Words"}, false},
      {L"/elsewhere/qvhost.exe", {L"-m", L"Two", L"Words"}, false},
  };
  for (const Case& test : cases) {
    xplat::RunningProgram program;
    program.image = test.image;
    program.arguments = test.arguments;
    EXPECT_EQ(zav::custody::IsProcessOfHost(program, L"Two Words", copy, shared), test.ofTheHost)
        << xplat::ToUtf8(test.image) << " with " << test.arguments.size() << " arguments";
  }
}

}  // namespace
