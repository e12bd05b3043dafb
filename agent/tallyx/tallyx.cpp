// The agent's logging library, as a stand-in: "GetTallyxInstance" returns one
// back-end that appends a UTF-8 line per Write to a log file, rotates the
// file at a size limit keeping a few old ones, and may copy each line to
// standard error. Settings come from the environment when the back-end is
// first asked for:
//   TALLYX_LOG_FILE   the log file (default: the agent's data folder,
//                     logs/agent.log)
//   TALLYX_LEVEL      threshold when no override is set: a keyword or a
//                     number (default 1: every line)
//   TALLYX_MAX_BYTES  rotation size (default 10 MiB)
//   TALLYX_KEEP       old files kept as agent.log.1 ... (default 3)
//   TALLYX_STDERR     1: also write each line to standard error
// A line reads: "2026-12-07 08:00:47.123 200 normal [Custodex] text".

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "logging/tallyx_instance.h"
#include "xplat/environment.h"
#include "xplat/export.h"
#include "xplat/file_system.h"
#include "xplat/text.h"

namespace tallyx {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kDefaultMaxBytes = 10u << 20;
constexpr std::uint8_t kDefaultKeep = 3;

fs::path DefaultLogFile() {
#if defined(_WIN32)
  fs::path data = xplat::FileSystemPath(xplat::ReadEnvironment(L"ProgramData"));
  if (data.empty()) data = L"C:\\ProgramData";
#else
  fs::path data = "/var/lib/custodex";
#endif
  return data / "Corvane" / "DEDedad" / "logs" / "agent.log";
}

fs::path LogFileSetting() {
  const std::wstring file = xplat::ReadEnvironment(L"TALLYX_LOG_FILE");
  return file.empty() ? DefaultLogFile() : xplat::FileSystemPath(file);
}

std::uint32_t NumberSetting(const wchar_t* name, std::uint32_t fallback) {
  const std::wstring text = xplat::ReadEnvironment(name);
  if (text.empty()) return fallback;
  try {
    return static_cast<std::uint32_t>(std::stoul(text));
  } catch (...) {
    return fallback;
  }
}

LogLevel LevelSetting() {
  const std::wstring text = xplat::ReadEnvironment(L"TALLYX_LEVEL");
  if (text.empty()) return log_level::kAll;
  if (text[0] >= L'0' && text[0] <= L'9') return static_cast<LogLevel>(NumberSetting(L"TALLYX_LEVEL", 1));
  return LevelFromKeyword(text);
}

std::string Timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[40];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", millis);
  return text;
}

class FileBackEnd final : public TallyxInstance {
 public:
  FileBackEnd()
      : path(LogFileSetting()),
        defaultLevel(LevelSetting()),
        maxBytes(NumberSetting(L"TALLYX_MAX_BYTES", kDefaultMaxBytes)),
        keep(static_cast<std::uint8_t>(NumberSetting(L"TALLYX_KEEP", kDefaultKeep))),
        toStandardError(xplat::ReadEnvironment(L"TALLYX_STDERR") == L"1") {}

  void Write(LogLevel level, const wchar_t* loggerName, const wchar_t* line) override {
    if (level < Threshold()) return;
    std::string text = Timestamp() + " " + std::to_string(level) + " " + LevelName(level) + " [" +
                       xplat::ToUtf8(loggerName ? loggerName : L"") + "] " +
                       (line ? xplat::ToUtf8(line) : std::string("(null)")) + "\n";
    std::lock_guard<std::mutex> lock(mutex);
    Append(text);
    if (toStandardError) {
      std::fputs(text.c_str(), stderr);
      std::fflush(stderr);  // not a console under Wine: stderr would be buffered
    }
  }
  void SetLevelOverride(bool enabled) override { overrideOn = enabled; }
  // The threshold in force.
  std::uint8_t GetBackEndByte() override { return Threshold(); }
  void SetLogLevel(LogLevel level) override { overrideLevel = level; }
  bool QueryBackEnd() override { return overrideOn; }
  // The rotation size in bytes.
  void SetBackEndValue(std::uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex);
    maxBytes = value;
  }
  // Lines written so far.
  std::uintptr_t CallBackEnd() override { return linesWritten; }
  // How many old files rotation keeps.
  void SetBackEndByte(std::uint8_t value) override {
    std::lock_guard<std::mutex> lock(mutex);
    keep = value;
  }
  // Whether the log file can be written.
  bool TestBackEnd() override {
    std::lock_guard<std::mutex> lock(mutex);
    return Open();
  }
  std::wstring GetBackEndText() override { return xplat::WidePath(path); }

 private:
  LogLevel Threshold() const { return overrideOn ? overrideLevel.load() : defaultLevel; }

  bool Open() {
    if (file.is_open()) return true;
    std::error_code ignored;
    fs::create_directories(path.parent_path(), ignored);
    file.open(path, std::ios::binary | std::ios::app);
    if (!file.is_open()) {
      if (!openFailureReported)
        std::fprintf(stderr, "tallyx: cannot write %s\n", xplat::ToUtf8(xplat::WidePath(path)).c_str());
      openFailureReported = true;
      return false;
    }
    size = static_cast<std::uint64_t>(fs::file_size(path, ignored));
    return true;
  }

  void Append(const std::string& text) {
    if (size > 0 && size + text.size() > maxBytes) Rotate();
    if (!Open()) return;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.flush();  // a line is on disk before Write returns
    if (!file) {
      // A full disk or a vanished folder: drop this line, reopen for the next.
      file.close();
      file.clear();
      return;
    }
    size += text.size();
    ++linesWritten;
  }

  void Rotate() {
    file.close();
    std::error_code ignored;
    auto numbered = [this](unsigned n) { return fs::path(path.native() + fs::path("." + std::to_string(n)).native()); };
    if (keep == 0) {
      fs::remove(path, ignored);
    } else {
      fs::remove(numbered(keep), ignored);
      for (unsigned n = keep; n > 1; --n) fs::rename(numbered(n - 1), numbered(n), ignored);
      fs::rename(path, numbered(1), ignored);
    }
    size = 0;
  }

  const fs::path path;
  const LogLevel defaultLevel;
  std::atomic<bool> overrideOn{false};
  std::atomic<LogLevel> overrideLevel{log_level::kNormal};
  std::mutex mutex;
  std::ofstream file;
  std::uint64_t size = 0;
  bool openFailureReported = false;
  std::uint32_t maxBytes;
  std::uint8_t keep;
  std::atomic<std::uintptr_t> linesWritten{0};
  const bool toStandardError;
};

}  // namespace
}  // namespace tallyx

extern "C" XPLAT_EXPORT TallyxInstance* GetTallyxInstance() {
  static tallyx::FileBackEnd backEnd;
  return &backEnd;
}
