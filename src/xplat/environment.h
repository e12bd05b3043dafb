#pragma once
// Process environment variables.

#include <string>

namespace xplat {

// Empty when the variable is not set.
std::wstring ReadEnvironment(const std::wstring& name);
bool WriteEnvironment(const std::wstring& name, const std::wstring& value);

}  // namespace xplat
