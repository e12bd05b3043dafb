#pragma once
// Reads back what the logging library stand-in wrote to this run's log file.

#include <string>
#include <vector>

namespace testing_support {

struct LoggedLine {
  int level = 0;
  std::wstring text;
};

// The lines of one logger, oldest first, from the current log file.
std::vector<LoggedLine> LoggedLines(const std::wstring& loggerName);
std::vector<std::wstring> LoggedTexts(const std::wstring& loggerName);

}  // namespace testing_support
