#include "hosts/supervision/status_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "xplat/text.h"

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

// The calendar date of a day counted from 1970-01-01 (proleptic Gregorian),
// by arithmetic alone: no time zone lookup, no lock.
struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;  // from 0000-03-01, so that a leap day ends its year
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::uint64_t dayOfEra = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
  const unsigned day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

template <typename String>
void AppendDigits(String& text, std::uint64_t value, int width) {
  using Char = typename String::value_type;
  Char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<Char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < 20);
  for (int pad = count; pad < width; ++pad) text += static_cast<Char>('0');
  while (count > 0) text += digits[--count];
}

template <typename String>
void AppendIsoTime(String& text, std::uint64_t wallMs) {
  using Char = typename String::value_type;
  constexpr std::uint64_t kDayMs = 86400000;
  const CivilDate date = CivilFromDays(static_cast<std::int64_t>(wallMs / kDayMs));
  const std::uint64_t msOfDay = wallMs % kDayMs;
  AppendDigits(text, static_cast<std::uint64_t>(date.year), 4);
  text += Char('-');
  AppendDigits(text, date.month, 2);
  text += Char('-');
  AppendDigits(text, date.day, 2);
  text += Char('T');
  AppendDigits(text, msOfDay / 3600000, 2);
  text += Char(':');
  AppendDigits(text, msOfDay / 60000 % 60, 2);
  text += Char(':');
  AppendDigits(text, msOfDay / 1000 % 60, 2);
  text += Char('.');
  AppendDigits(text, msOfDay % 1000, 3);
  text += Char('Z');
}

}  // namespace

std::wstring IsoTime(std::uint64_t wallMs) {
  std::wstring text;
  text.reserve(24);
  AppendIsoTime(text, wallMs);
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

namespace {

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
};

}  // namespace

std::string Serialised(const pugi::xml_document& document) {
  StringWriter out;
  document.save(out, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return std::move(out.text);
}

namespace {

// Printable ASCII that needs no escape: most values, copied as they stand.
bool IsPlainAscii(std::wstring_view value) {
  return std::all_of(value.begin(), value.end(),
                     [](wchar_t c) { return c >= 0x20 && c < 0x80 && c != L'&' && c != L'<' && c != L'"'; });
}

std::wstring EscapedForAttribute(std::wstring_view value) {
  std::wstring escaped;
  escaped.reserve(value.size());
  for (const wchar_t c : value) {
    if (c == L'&') {
      escaped += L"&amp;";
    } else if (c == L'<') {
      escaped += L"&lt;";
    } else if (c == L'"') {
      escaped += L"&quot;";
    } else if (static_cast<std::uint32_t>(c) < 0x20) {
      escaped += L"&#" + std::to_wstring(static_cast<unsigned>(c)) + L';';
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

XmlElementLine::XmlElementLine(const char* name) : text("<") {
  text.reserve(256);
  text += name;
}

XmlElementLine& XmlElementLine::Attribute(const char* name, std::wstring_view value) {
  OpenValue(name);
  if (IsPlainAscii(value)) {
    for (const wchar_t c : value) text += static_cast<char>(c);
  } else {
    text += xplat::ToUtf8(EscapedForAttribute(value));
  }
  text += '"';
  return *this;
}

XmlElementLine& XmlElementLine::ShownAttribute(const char* name, const std::wstring& value) {
  if (!IsPlainAscii(value) || value.find(L'\\') != std::wstring::npos) return Attribute(name, ShownName(value));
  return Attribute(name, value);
}

XmlElementLine& XmlElementLine::TimeAttribute(const char* name, std::uint64_t wallMs) {
  OpenValue(name);
  AppendIsoTime(text, wallMs);
  text += '"';
  return *this;
}

XmlElementLine& XmlElementLine::Attribute(const char* name, std::uint64_t value) {
  OpenValue(name);
  AppendDigits(text, value, 1);
  text += '"';
  return *this;
}

void XmlElementLine::OpenValue(const char* name) { ((text += ' ') += name) += "=\""; }

std::string XmlElementLine::Text() && { return std::move(text += " />\n"); }

}  // namespace zav::custody
