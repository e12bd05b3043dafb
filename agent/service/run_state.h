#pragma once
// What the service's main thread waits for: a command line from standard
// input, the end of that input, or the module's Execute returning.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace service {

class RunState {
 public:
  void AddLine(std::string line);
  void EndInput();
  void EndModule();

  // The next command line; false at the end of input or once the module has ended.
  bool NextLine(std::string& line);
  // Waits ms, or less when the module ends; false when it has ended.
  bool SleepUnlessModuleEnds(std::uint32_t ms);
  bool ModuleEnded();

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool inputEnded = false;
  bool moduleEnded = false;
};

}  // namespace service
