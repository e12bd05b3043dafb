#pragma once
// The version a library's file carries. Windows: the fixed file version of its
// version resource ("1.0.0.0"). Linux: the version its real file's name ends
// with, after the links are followed (libCustodex.so -> libCustodex.so.1.0.0
// gives "1.0.0"). Nothing when the file carries none or cannot be read.

#include <optional>
#include <string>

namespace xplat {

std::optional<std::wstring> FileVersion(const std::wstring& path);

}  // namespace xplat
