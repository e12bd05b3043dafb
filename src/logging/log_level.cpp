#include "logging/log_level.h"

#include <cwctype>

namespace {

struct NamedLevel {
  const wchar_t* keyword;
  const char* name;
  LogLevel level;
};

constexpr NamedLevel kLevels[] = {
    {L"always", "always", log_level::kAlways},       {L"maximum", "maximum", log_level::kMaximum},
    {L"critical", "critical", log_level::kCritical}, {L"error", "error", log_level::kError},
    {L"normal", "normal", log_level::kNormal},       {L"diagnostic", "diagnostic", log_level::kDiagnostic},
    {L"trace", "trace", log_level::kTrace},          {L"all", "all", log_level::kAll},
};

bool EqualIgnoringCase(const std::wstring& text, const wchar_t* keyword) {
  std::size_t i = 0;
  for (; i < text.size() && keyword[i]; ++i) {
    if (std::towupper(text[i]) != std::towupper(keyword[i])) return false;
  }
  return i == text.size() && keyword[i] == L'\0';
}

}  // namespace

LogLevel LevelFromKeyword(const std::wstring& keyword) {
  for (const NamedLevel& named : kLevels) {
    if (EqualIgnoringCase(keyword, named.keyword)) return named.level;
  }
  return log_level::kNormal;
}

const char* LevelName(LogLevel level) {
  for (const NamedLevel& named : kLevels) {
    if (named.level == level) return named.name;
  }
  return "level";
}
