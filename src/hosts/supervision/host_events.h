#pragma once
// With the events setting on, each change of a host's state is posted as one
// "ZAV.Service.HostEvent" record, whose Data is a UTF-8 XML document in the
// status document's vocabulary and escaping:
//
//   <hostEvent name="Crashy" kind="ended" sequence="17" time="2026-12-08T03:00:00.123Z"
//              pid="4719" exitCode="139" reason="killed by SIGSEGV, core dumped" ranMs="2"/>
//
// kind is started (with adopted="true" for a host taken over), start-failed
// (error), ended (exitCode, reason, ranMs, and with trees the processes it
// left running), backing-off (nextStart), removed, copy-kept (processes),
// ended-by-module (processes), crash-looping or recovered. sequence grows by
// one a record in the module's life. A record is posted once and never
// waited for: one the broker refuses is dropped, and counted. Its
// Parameter is the host's name. The module holds what happens while it
// works and posts it, in order, once the record or pass at hand is done: a
// host's restart never waits for the records its end brings.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "xplat/clock.h"

namespace zav::custody {

struct HostEvent {
  HostEvent(std::wstring host, const wchar_t* eventKind, std::optional<std::uint32_t> process = std::nullopt)
      : hostName(std::move(host)), kind(eventKind), processId(process) {}

  std::wstring hostName;
  const wchar_t* kind;
  std::optional<std::uint32_t> processId;
  bool adopted = false;
  std::optional<std::wstring> exitCode;  // a number, or "unknown"
  std::wstring reason;
  std::optional<std::uint64_t> ranMs;
  std::optional<std::uint64_t> nextStartWallMs;
  std::optional<std::vector<std::uint32_t>> processes;
  std::wstring error;
};

std::string HostEventDocument(const HostEvent& event, std::uint64_t sequence, std::uint64_t wallMs);

class HostEvents {
 public:
  // Posts the document for the host, once: false when the broker refused it.
  using Post = std::function<bool(const std::wstring& hostName, std::string document)>;

  HostEvents(bool publishHostEvents, Post post) : enabled(publishHostEvents), poster(std::move(post)) {}

  bool Enabled() const { return enabled; }

  // One call a kind, each holding its record back until the next Release.
  void Started(const std::wstring& hostName, std::uint32_t processId, bool adopted);
  void StartFailed(const std::wstring& hostName, const std::wstring& error);
  struct End {
    std::optional<std::uint32_t> exitCode;  // none: "unknown"
    std::wstring reason;
    std::uint64_t ranMs = 0;
    std::optional<std::vector<std::uint32_t>> processes;  // with trees: what runs on
  };
  void Ended(const std::wstring& hostName, std::uint32_t processId, End end);
  void BackingOff(const std::wstring& hostName, std::uint64_t nextStartWallMs);
  void Removed(const std::wstring& hostName);
  void CopyKept(const std::wstring& hostName, std::optional<std::uint32_t> processId);
  void EndedByModule(const std::wstring& hostName, std::optional<std::vector<std::uint32_t>> processes);
  void CrashLooping(const std::wstring& hostName);
  void Recovered(const std::wstring& hostName);
  // What of the host's tree runs on, told after its last held "ended".
  void TellLeftOver(const std::wstring& hostName, std::vector<std::uint32_t> processes);

  // Posts what was held, in order.
  void Release();
  // The records the broker refused, in the module's life.
  std::uint64_t Dropped() const { return dropped; }

 private:
  // Builds the record only with the setting on: a restart without it pays nothing.
  template <typename Make>
  void Hold(Make make) {
    if (enabled) held.emplace_back(make(), xplat::WallClockMs());
  }

  bool enabled;
  Post poster;
  std::uint64_t sequence = 0;
  std::uint64_t dropped = 0;
  std::vector<std::pair<HostEvent, std::uint64_t>> held;  // with the time it happened
};

}  // namespace zav::custody
