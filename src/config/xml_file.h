#pragma once
// The agent's XML files (ZAVConfig.xml) as the module reads them: opened
// with shared read and write access, regular files of a bounded size only,
// decoded as the XML parser detects their encoding, and parsed as
// wide-character XML with the parser's default options.

#include <pugixml.hpp>
#include <string>

#include "xplat/file_system.h"

namespace zav::custody {

// The largest ZAVConfig.xml read: far beyond any real module list, and small
// enough that a runaway file cannot exhaust the service's memory.
inline constexpr std::size_t kMaxXmlFileBytes = 16 * 1024 * 1024;

struct XmlFile {
  std::wstring text;  // what was parsed; offsets of parse errors point into it
  pugi::xml_document document;
  pugi::xml_parse_result result;
  // Why the file was refused unread (not a regular file, too large).
  xplat::ReadRefusal refusal = xplat::ReadRefusal::None;
};

// A file that cannot be read gives the parser's stream error.
void LoadXmlFile(const std::wstring& path, XmlFile& file);
// The file's bytes decoded and parsed into it.
void ParseXmlBytes(const std::string& bytes, XmlFile& file);

// The text of XML bytes in the encoding the parser detects: a byte-order
// mark, or how the first '<' is stored, for UTF-16 and UTF-32; an
// ISO-8859-1 (latin1) declaration; UTF-8 otherwise.
std::wstring DecodeXmlBytes(const std::string& bytes);

// Wide XML text parsed with the default options.
pugi::xml_parse_result ParseWideText(const std::wstring& text, pugi::xml_document& document);

// A parser's narrow message as wide text, each byte one character.
std::wstring WidenEachByte(const char* text);

// Where a parse error lies: the line (one plus the line breaks before the
// offset) and the column (one plus the characters since the last break).
struct TextPosition {
  int line = 1;
  int column = 1;
};
TextPosition PositionOfOffset(const std::wstring& text, std::ptrdiff_t offset);

}  // namespace zav::custody
