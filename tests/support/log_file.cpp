#include "support/log_file.h"

#include <sstream>

#include "support/test_environment.h"
#include "xplat/environment.h"
#include "xplat/text.h"

namespace testing_support {

std::vector<LoggedLine> LoggedLines(const std::wstring& loggerName) {
  std::istringstream file(ReadFile(xplat::ReadEnvironment(L"TALLYX_LOG_FILE")));
  const std::string marker = " [" + xplat::ToUtf8(loggerName) + "] ";
  std::vector<LoggedLine> lines;
  for (std::string line; std::getline(file, line);) {
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    std::istringstream fields(line);
    std::string date, time;
    LoggedLine logged;
    fields >> date >> time >> logged.level;
    logged.text = xplat::FromUtf8(line.substr(at + marker.size()));
    lines.push_back(logged);
  }
  return lines;
}

std::vector<std::wstring> LoggedTexts(const std::wstring& loggerName) {
  std::vector<std::wstring> texts;
  for (const LoggedLine& line : LoggedLines(loggerName)) texts.push_back(line.text);
  return texts;
}

}  // namespace testing_support
