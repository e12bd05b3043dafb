#include "config/xml_file.h"

#include <algorithm>
#include <cstdint>

#include "xplat/text.h"

namespace zav::custody {
namespace {

enum class ByteEncoding { Utf8, Utf16Le, Utf16Be, Utf32Le, Utf32Be, Latin1 };

bool StartsWith(const std::string& bytes, std::initializer_list<unsigned char> prefix) {
  return bytes.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), bytes.begin(),
                    [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsEncodingNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

// The value of encoding="..." in a leading XML declaration, as the parser
// scans for it (up to the first '?').
std::string DeclaredEncoding(const std::string& bytes) {
  if (bytes.size() < 6 || bytes.compare(0, 5, "<?xml") != 0 || !IsXmlSpace(bytes[5])) return {};
  for (std::size_t i = 6; i + 1 < bytes.size() && bytes[i] != '?'; ++i) {
    if (bytes[i] != 'e' || bytes[i + 1] != 'n') continue;
    if (bytes.compare(i, 8, "encoding") != 0) return {};  // only the encoding field holds "en"
    std::size_t at = i + 8;
    while (at < bytes.size() && IsXmlSpace(bytes[at])) ++at;
    if (at >= bytes.size() || bytes[at++] != '=') return {};
    while (at < bytes.size() && IsXmlSpace(bytes[at])) ++at;
    if (at >= bytes.size() || (bytes[at] != '"' && bytes[at] != '\'')) return {};
    const char quote = bytes[at++];
    const std::size_t start = at;
    while (at < bytes.size() && IsEncodingNameCharacter(bytes[at])) ++at;
    if (at >= bytes.size() || bytes[at] != quote) return {};
    std::string name = bytes.substr(start, at - start);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return name;
  }
  return {};
}

ByteEncoding DetectEncoding(const std::string& bytes) {
  if (bytes.size() < 4) return ByteEncoding::Utf8;
  if (StartsWith(bytes, {0, 0, 0xFE, 0xFF}) || StartsWith(bytes, {0, 0, 0, '<'})) return ByteEncoding::Utf32Be;
  if (StartsWith(bytes, {0xFF, 0xFE, 0, 0}) || StartsWith(bytes, {'<', 0, 0, 0})) return ByteEncoding::Utf32Le;
  if (StartsWith(bytes, {0xFE, 0xFF}) || StartsWith(bytes, {0, '<'})) return ByteEncoding::Utf16Be;
  if (StartsWith(bytes, {0xFF, 0xFE}) || StartsWith(bytes, {'<', 0})) return ByteEncoding::Utf16Le;
  const std::string declared = DeclaredEncoding(bytes);
  return declared == "iso-8859-1" || declared == "latin1" ? ByteEncoding::Latin1 : ByteEncoding::Utf8;
}

std::uint32_t Unit(const std::string& bytes, std::size_t at, std::size_t size, bool bigEndian) {
  std::uint32_t unit = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : size - 1 - i)]);
    unit = (unit << 8) | byte;
  }
  return unit;
}

void AppendCodePoint(std::wstring& text, std::uint32_t c) {
  if (sizeof(wchar_t) == 2 && c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    text += static_cast<wchar_t>(0xD800 + (c >> 10));
    text += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    return;
  }
  text += static_cast<wchar_t>(c);
}

std::wstring DecodeUtf16(const std::string& bytes, bool bigEndian) {
  std::u16string units;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2)
    units += static_cast<char16_t>(Unit(bytes, at, 2, bigEndian));
  return xplat::FromUtf16(units);
}

std::wstring DecodeUtf32(const std::string& bytes, bool bigEndian) {
  std::wstring text;
  for (std::size_t at = 0; at + 3 < bytes.size(); at += 4) AppendCodePoint(text, Unit(bytes, at, 4, bigEndian));
  return text;
}

std::wstring DecodeLatin1(const std::string& bytes) {
  std::wstring text(bytes.size(), L'\0');
  std::transform(bytes.begin(), bytes.end(), text.begin(),
                 [](char byte) { return static_cast<wchar_t>(static_cast<unsigned char>(byte)); });
  return text;
}

}  // namespace

std::wstring DecodeXmlBytes(const std::string& bytes) {
  switch (DetectEncoding(bytes)) {
    case ByteEncoding::Utf16Le:
      return DecodeUtf16(bytes, false);
    case ByteEncoding::Utf16Be:
      return DecodeUtf16(bytes, true);
    case ByteEncoding::Utf32Le:
      return DecodeUtf32(bytes, false);
    case ByteEncoding::Utf32Be:
      return DecodeUtf32(bytes, true);
    case ByteEncoding::Latin1:
      return DecodeLatin1(bytes);
    default:
      return pugi::as_wide(bytes);  // the parser's own UTF-8 decoding
  }
}

void LoadXmlFile(const std::wstring& path, XmlFile& file) {
  const std::optional<std::string> bytes = xplat::ReadSharedFile(path, kMaxXmlFileBytes, &file.refusal);
  if (!bytes) {
    file.result = pugi::xml_parse_result();
    file.result.status = pugi::status_io_error;
    return;
  }
  ParseXmlBytes(*bytes, file);
}

void ParseXmlBytes(const std::string& bytes, XmlFile& file) {
  file.text = DecodeXmlBytes(bytes);
  file.result = ParseWideText(file.text, file.document);
}

pugi::xml_parse_result ParseWideText(const std::wstring& text, pugi::xml_document& document) {
  return document.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default, pugi::encoding_wchar);
}

std::wstring WidenEachByte(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

TextPosition PositionOfOffset(const std::wstring& text, std::ptrdiff_t offset) {
  const std::size_t end = std::min(text.size(), static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
  TextPosition position;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == L'\n') {
      ++position.line;
      lineStart = i + 1;
    }
  }
  position.column = static_cast<int>(end - lineStart) + 1;
  return position;
}

}  // namespace zav::custody
