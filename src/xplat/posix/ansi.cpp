#include "xplat/ansi.h"

#include "xplat/text.h"

namespace xplat {

bool AnsiToWide(const char* text, std::size_t length, std::wstring& wide) {
  wide = FromUtf8(std::string_view(text, length));
  return true;
}

}  // namespace xplat
