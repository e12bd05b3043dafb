#include "xplat/system_error.h"

namespace xplat {

std::wstring ErrorText(ErrorCode code) {
  std::wstring text = SystemMessage(code).value_or(L"error " + std::to_wstring(code));
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

}  // namespace xplat
