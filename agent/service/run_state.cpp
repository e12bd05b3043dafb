#include "service/run_state.h"

#include <chrono>

namespace service {

void RunState::AddLine(std::string line) {
  std::lock_guard<std::mutex> lock(mutex);
  lines.push_back(std::move(line));
  changed.notify_all();
}

void RunState::EndInput() {
  std::lock_guard<std::mutex> lock(mutex);
  inputEnded = true;
  changed.notify_all();
}

void RunState::EndModule() {
  std::lock_guard<std::mutex> lock(mutex);
  moduleEnded = true;
  changed.notify_all();
}

bool RunState::NextLine(std::string& line) {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [this] { return moduleEnded || inputEnded || !lines.empty(); });
  if (moduleEnded || lines.empty()) return false;
  line = std::move(lines.front());
  lines.pop_front();
  return true;
}

bool RunState::SleepUnlessModuleEnds(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex);
  return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return moduleEnded; });
}

bool RunState::ModuleEnded() {
  std::lock_guard<std::mutex> lock(mutex);
  return moduleEnded;
}

}  // namespace service
