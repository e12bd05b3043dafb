#pragma once
// Process environment variables.

#include <string>
#include <vector>

namespace xplat {

// Empty when the variable is not set.
std::wstring ReadEnvironment(const std::wstring& name);
bool WriteEnvironment(const std::wstring& name, const std::wstring& value);

// The arguments the program was started with, its name first, as wide
// text: on Windows from its wide command line (argv holds only what the
// code page can say), on Linux argv read as UTF-8.
std::vector<std::wstring> ProgramArguments(int argc, char** argv);

}  // namespace xplat
