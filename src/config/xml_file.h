#pragma once
// The agent's XML files (ZAVConfig.xml) as the module reads them: opened
// with shared read and write access, each byte taken as one character (the
// classic locale's reading of a wide stream), parsed as wide-character XML
// with the parser's default options.

#include <pugixml.hpp>
#include <string>

namespace zav::custody {

struct XmlFile {
  std::wstring text;  // what was parsed; offsets of parse errors point into it
  pugi::xml_document document;
  pugi::xml_parse_result result;
};

// A file that cannot be read gives the parser's stream error.
void LoadXmlFile(const std::wstring& path, XmlFile& file);

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
