#include "config/name_equality.h"

#include <locale>

namespace zav::custody {

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  const std::locale global;
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(global);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ctype.toupper(a[i]) != ctype.toupper(b[i])) return false;
  }
  return true;
}

}  // namespace zav::custody
