#include "xplat/format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace xplat {
namespace {

bool IsFlagOrWidth(wchar_t c) { return c != L'\0' && wcschr(L"-+ #0123456789.*", c) != nullptr; }

// Rewrites one conversion's length modifier and letter from the Windows
// conventions to glibc's; returns the characters of the format consumed.
std::size_t TranslateConversion(const wchar_t* spec, std::wstring& out) {
  std::size_t i = 0;
  while (IsFlagOrWidth(spec[i])) out += spec[i++];
  enum { None, Narrow, Wide } width = None;
  std::wstring length;
  if (spec[i] == L'w') {
    width = Wide, ++i;
  } else if (spec[i] == L'h' &&
             (spec[i + 1] == L's' || spec[i + 1] == L'c' || spec[i + 1] == L'S' || spec[i + 1] == L'C')) {
    width = Narrow, ++i;
  } else if (wcsncmp(spec + i, L"I64", 3) == 0) {
    length = L"ll", i += 3;
  } else if (wcsncmp(spec + i, L"I32", 3) == 0) {
    i += 3;
  } else if (spec[i] == L'I') {
    length = L"z", ++i;
  } else {
    while (spec[i] && wcschr(L"hlLqjzt", spec[i])) {
      if (spec[i] == L'l' && (spec[i + 1] == L's' || spec[i + 1] == L'c')) width = Wide;
      length += spec[i++];
    }
    if (width == Wide) length.clear();
  }
  const wchar_t conversion = spec[i];
  if (conversion == L's' || conversion == L'c') {
    out += width == Narrow ? L"" : L"l";
    out += conversion;
  } else if (conversion == L'S' || conversion == L'C') {
    out += width == Wide ? L"l" : L"";
    out += static_cast<wchar_t>(conversion == L'S' ? L's' : L'c');
  } else if (conversion != L'\0') {
    out += length;
    out += conversion;
  } else {
    return i;
  }
  return i + 1;
}

void TranslateFormat(const wchar_t* format, std::wstring& out) {
  out.reserve(wcslen(format) + 8);
  for (const wchar_t* p = format; *p;) {
    out += *p;
    if (*p++ != L'%') continue;
    if (*p == L'%') {
      out += *p++;
      continue;
    }
    p += TranslateConversion(p, out);
  }
}

// glibc answers -1 both for a cut result and for a failure, and leaves the
// buffer unterminated, so such a line is formatted again into a stream that
// grows as needed: only that attempt can tell the two apart.
std::optional<std::size_t> FormatThroughStream(wchar_t* buffer, std::size_t maxChars, const wchar_t* format,
                                               va_list args) {
  wchar_t* text = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_wmemstream(&text, &size);
  if (!stream) return std::nullopt;
  const bool failed = std::vfwprintf(stream, format, args) < 0;
  std::fclose(stream);
  std::optional<std::size_t> length;
  if (!failed) {
    length = size < maxChars ? size : maxChars;
    wmemcpy(buffer, text, *length);
  }
  std::free(text);
  return length;
}

// The translations of the formats this thread used last. Callers pass the
// same literal formats again and again, so an entry is found by the format's
// address; the text is compared as well, since a format may also live in a
// buffer that is reused with other text. Being per thread, it needs no lock.
class TranslationCache {
 public:
  const std::wstring& Translate(const wchar_t* format) {
    Entry& entry = entries[(reinterpret_cast<std::uintptr_t>(format) >> 3) % kEntries];
    if (entry.format != format || entry.original != format) {
      entry.format = format;
      entry.original = format;
      entry.translated.clear();
      TranslateFormat(format, entry.translated);
    }
    return entry.translated;
  }

 private:
  static constexpr std::size_t kEntries = 64;
  struct Entry {
    const wchar_t* format = nullptr;
    std::wstring original;
    std::wstring translated;
  };
  Entry entries[kEntries];
};

}  // namespace

std::optional<std::size_t> FormatWide(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, va_list args) {
  thread_local TranslationCache cache;
  const std::wstring& translated = cache.Translate(format);
  va_list retry;
  va_copy(retry, args);
  const int written = std::vswprintf(buffer, maxChars + 1, translated.c_str(), args);
  std::optional<std::size_t> length = static_cast<std::size_t>(written);
  if (written < 0) length = FormatThroughStream(buffer, maxChars, translated.c_str(), retry);
  va_end(retry);
  buffer[length.value_or(0)] = L'\0';
  return length;
}

}  // namespace xplat
