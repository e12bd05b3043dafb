// A small agent module to be hosted: "ZAVSample" logs a start line, then a
// heartbeat line every few seconds (ZAVSAMPLE_HEARTBEAT_MS, default 5000),
// and ends on "ZAV.Service.TerminateThread" with a stop line.

#include <new>
#include <string>

#include "logging/logger.h"
#include "module/entry_points.h"
#include "module/zav_module.h"
#include "xplat/environment.h"
#include "xplat/process.h"

namespace {

constexpr std::int32_t kDefaultHeartbeatMs = 5000;
constexpr std::int32_t kLongestHeartbeatMs = 24 * 60 * 60 * 1000;

std::int32_t HeartbeatSetting() {
  const std::wstring text = xplat::ReadEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS");
  if (text.empty() || text.size() > 9 || text.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return kDefaultHeartbeatMs;
  }
  const std::int32_t ms = std::stoi(text);
  return ms > 0 && ms <= kLongestHeartbeatMs ? ms : kDefaultHeartbeatMs;
}

class ZAVSample final : public ZAVModule {
 public:
  ZAVSample() : ZAVModule(L"ZAVSample"), logger(L"ZAVSample"), processId(xplat::CurrentProcessId()) {
    SetWaitTimeout(HeartbeatSetting());
  }

  void Execute() override {
    logger.LogMsg(log_level::kNormal, L"ZAVSample: started (process %u, heartbeat every %d ms)", processId,
                  WaitTimeout());
    while (!TerminateReceived()) {
    }
    logger.LogMsg(log_level::kNormal, L"ZAVSample: stopped (process %u)", processId);
  }

 private:
  // One wake-up: a heartbeat after a quiet wait, else the queued records.
  bool TerminateReceived() {
    if (!WaitForEvents()) {
      logger.LogMsg(log_level::kNormal, L"ZAVSample: heartbeat (process %u)", processId);
      return false;
    }
    bool terminate = false;
    while (!terminate && HasEvents()) {
      EventData* record = PullEvent();
      if (!record) continue;
      terminate = record->FullName() == kTerminateThreadEvent;
      ReleaseEvent(record);
    }
    return terminate;
  }

  CLogger logger;
  std::uint32_t processId;
};

ZAVModuleInterface* CreateModule() { return new (std::nothrow) ZAVSample(); }

}  // namespace

extern "C" {

std::int32_t Execute() { return RunModule(&CreateModule); }

std::int32_t ReturnAPIInterfaceVersion() { return kModuleInterfaceVersion; }
}
