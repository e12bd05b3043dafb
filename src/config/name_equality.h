#pragma once
// The agent's case-insensitive comparison of names and keywords.

#include <string>

namespace zav::custody {

// Equal length, and equal character by character after upper-casing through
// the wide classification of the global locale as it is at the call.
bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b);

}  // namespace zav::custody
