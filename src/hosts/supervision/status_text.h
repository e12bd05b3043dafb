#pragma once
// What the documents the module answers and posts share: times in UTC to the
// millisecond, and names shown so that every document is well-formed XML 1.0
// in valid UTF-8 and no name reads as another.

#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace zav::custody {

// "2026-12-07T08:00:47.123Z".
std::wstring IsoTime(std::uint64_t wallMs);
// What XML 1.0 cannot carry (control characters, unpaired surrogates,
// U+FFFE, U+FFFF) as \uXXXX, and the backslash as \\.
std::wstring ShownName(const std::wstring& name);
// UTF-8, without a declaration.
std::string Serialised(const pugi::xml_document& document);

// A lone element without children, written in UTF-8 as Serialised writes it,
// for a document made often enough that building a tree would cost more.
class XmlElementLine {
 public:
  explicit XmlElementLine(const char* name);
  // The value as it stands, escaped for an attribute.
  XmlElementLine& Attribute(const char* name, std::wstring_view value);
  XmlElementLine& Attribute(const char* name, std::uint64_t value);
  // The value as ShownName shows it; copied as it stands when it needs
  // nothing, as nearly every name does.
  XmlElementLine& ShownAttribute(const char* name, const std::wstring& value);
  // As IsoTime writes it.
  XmlElementLine& TimeAttribute(const char* name, std::uint64_t wallMs);
  std::string Text() &&;

 private:
  void OpenValue(const char* name);

  std::string text;
};

}  // namespace zav::custody
