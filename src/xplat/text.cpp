#include "xplat/text.h"

#include <cstdio>

namespace xplat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(c);
}

// Walks UTF-16 units (Windows wide strings, archives) or UTF-32 units (Linux
// wide strings) as code points; lone surrogates are kept as they are so that
// no text is lost on a round trip.
template <typename Unit, typename Sink>
void ForEachCodePoint(const Unit* units, std::size_t count, Sink sink) {
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = static_cast<char32_t>(units[i]);
    if (sizeof(Unit) == 2) c &= 0xFFFF;
    if (sizeof(Unit) == 2 && IsHighSurrogate(c) && i + 1 < count) {
      char32_t low = static_cast<char32_t>(units[i + 1]) & 0xFFFF;
      if (IsLowSurrogate(low)) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    sink(c);
  }
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text.data(), text.size(), [&](char32_t c) {
    AppendUtf8(out, (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) ? kReplacement : c);
  });
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    char32_t c = extra <= 0 ? lead : lead & (0x3F >> extra);
    bool valid = extra >= 0 && i + extra < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      AppendWide(out, kReplacement);
      ++i;
      continue;
    }
    AppendWide(out, c);
    i += extra + 1;
  }
  return out;
}

std::u16string ToUtf16(std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == 2) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
  }
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t w : text) {
    char32_t c = static_cast<char32_t>(w);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c > 0x10FFFF ? kReplacement : c);
    }
  }
  return out;
}

std::wstring FromUtf16(std::u16string_view text) {
  if constexpr (sizeof(wchar_t) == 2) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
  }
  std::wstring out;
  out.reserve(text.size());
  ForEachCodePoint(text.data(), text.size(), [&](char32_t c) { AppendWide(out, c); });
  return out;
}

std::wstring FromUtf16LeBytes(const std::uint8_t* bytes, std::size_t byteCount) {
  std::u16string units(byteCount / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return FromUtf16(units);
}

std::string ToUtf16LeBytes(std::wstring_view text) {
  std::u16string units = ToUtf16(text);
  std::string bytes(units.size() * 2, '\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    bytes[2 * i] = static_cast<char>(units[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return bytes;
}

std::string NameHash(std::wstring_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : ToUtf8(text)) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return digits;
}

}  // namespace xplat
