#include "hosts/supervision/status_text.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace zav::custody {
namespace {

bool IsHighSurrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Whether XML 1.0 can carry the character at `at`: a surrogate only as half
// of a pair, and only where wide strings are UTF-16.
bool XmlCanCarry(const std::wstring& text, std::size_t at) {
  const std::uint32_t c = static_cast<std::uint32_t>(text[at]);
  if (c < 0x20 || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF) return false;
  if (sizeof(wchar_t) == 4) return !IsHighSurrogate(c) && !IsLowSurrogate(c);
  if (IsHighSurrogate(c)) return at + 1 < text.size() && IsLowSurrogate(static_cast<std::uint32_t>(text[at + 1]));
  if (IsLowSurrogate(c)) return at > 0 && IsHighSurrogate(static_cast<std::uint32_t>(text[at - 1]));
  return true;
}

}  // namespace

std::wstring IsoTime(std::uint64_t wallMs) {
  const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  wchar_t text[40] = {};
  std::swprintf(text, sizeof text / sizeof text[0], L"%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<unsigned>(wallMs % 1000));
  return text;
}

// A name as the document shows it: what XML 1.0 cannot carry (control
// characters, unpaired surrogates, U+FFFE, U+FFFF) as \uXXXX, and the
// backslash as \\, so that every answer parses and no name reads as another.
std::wstring ShownName(const std::wstring& name) {
  std::wstring shown;
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (name[at] == L'\\') {
      shown += L"\\\\";
    } else if (XmlCanCarry(name, at)) {
      shown += name[at];
    } else {
      wchar_t escape[12] = {};
      const std::uint32_t c = static_cast<std::uint32_t>(name[at]);
      std::swprintf(escape, sizeof escape / sizeof escape[0], c > 0xFFFF ? L"\\U%08X" : L"\\u%04X", c);
      shown += escape;
    }
  }
  return shown;
}

std::string Serialised(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

}  // namespace zav::custody
