#pragma once

#include <cstdint>
#include <string>

// One byte; a larger value marks a more important line.
using LogLevel = std::uint8_t;

namespace log_level {
constexpr LogLevel kAll = 1;
constexpr LogLevel kTrace = 180;
constexpr LogLevel kDiagnostic = 190;
constexpr LogLevel kNormal = 200;
constexpr LogLevel kError = 210;
constexpr LogLevel kCritical = 250;
constexpr LogLevel kMaximum = 254;
constexpr LogLevel kAlways = 255;
}  // namespace log_level

// The level a keyword of "LogLevelOverride" names, compared without regard
// to case; any other non-empty text means normal.
LogLevel LevelFromKeyword(const std::wstring& keyword);
// The keyword of a named level, "level" for the others.
const char* LevelName(LogLevel level);
