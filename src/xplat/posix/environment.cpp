#include "xplat/environment.h"

#include <cstdlib>

#include "xplat/text.h"

namespace xplat {

std::wstring ReadEnvironment(const std::wstring& name) {
  const char* value = std::getenv(ToUtf8(name).c_str());
  return value ? FromUtf8(value) : std::wstring();
}

bool WriteEnvironment(const std::wstring& name, const std::wstring& value) {
  return ::setenv(ToUtf8(name).c_str(), ToUtf8(value).c_str(), 1) == 0;
}

std::vector<std::wstring> ProgramArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(FromUtf8(argv[i]));
  return arguments;
}

}  // namespace xplat
