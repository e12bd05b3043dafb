#include "config/xml_file.h"

#include <algorithm>

#include "xplat/file_system.h"

namespace zav::custody {

void LoadXmlFile(const std::wstring& path, XmlFile& file) {
  const std::optional<std::string> bytes = xplat::ReadSharedFile(path);
  if (!bytes) {
    file.result = pugi::xml_parse_result();
    file.result.status = pugi::status_io_error;
    return;
  }
  file.text.assign(bytes->size(), L'\0');
  std::transform(bytes->begin(), bytes->end(), file.text.begin(),
                 [](char byte) { return static_cast<wchar_t>(static_cast<unsigned char>(byte)); });
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
