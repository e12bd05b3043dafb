#include "hosts/supervision/host_events.h"

#include <algorithm>
#include <cwchar>

#include "config/xml_file.h"
#include "hosts/supervision/host_trees.h"
#include "hosts/supervision/status_text.h"

namespace zav::custody {
namespace {

void AppendIf(XmlElementLine& line, const char* name, const std::optional<std::uint64_t>& value) {
  if (value) line.Attribute(name, *value);
}

void AppendIf(XmlElementLine& line, const char* name, const std::wstring& value) {
  if (!value.empty()) line.ShownAttribute(name, value);
}

}  // namespace

// Written without a tree: one record, or two, comes with every restart.
std::string HostEventDocument(const HostEvent& event, std::uint64_t sequence, std::uint64_t wallMs) {
  XmlElementLine line("hostEvent");
  line.ShownAttribute("name", event.hostName).Attribute("kind", event.kind);
  line.Attribute("sequence", sequence).TimeAttribute("time", wallMs);
  AppendIf(line, "pid", event.processId ? std::optional<std::uint64_t>(*event.processId) : std::nullopt);
  if (event.adopted) line.Attribute("adopted", L"true");
  if (event.exitCode) line.Attribute("exitCode", *event.exitCode);
  AppendIf(line, "reason", event.reason);
  AppendIf(line, "ranMs", event.ranMs);
  if (event.nextStartWallMs) line.TimeAttribute("nextStart", *event.nextStartWallMs);
  if (event.processes && !event.processes->empty()) line.Attribute("processes", ProcessIdList(*event.processes));
  AppendIf(line, "error", event.error);
  return std::move(line).Text();
}

void HostEvents::Started(const std::wstring& hostName, std::uint32_t processId, bool adopted) {
  Hold([&] {
    HostEvent event(hostName, L"started", processId);
    event.adopted = adopted;
    return event;
  });
}

void HostEvents::StartFailed(const std::wstring& hostName, const std::wstring& error) {
  Hold([&] {
    HostEvent event(hostName, L"start-failed");
    event.error = error;
    return event;
  });
}

void HostEvents::Ended(const std::wstring& hostName, std::uint32_t processId, End end) {
  Hold([&] {
    HostEvent event(hostName, L"ended", processId);
    // Not std::to_wstring: it formats through vswprintf and the locale, too dear at every restart.
    event.exitCode = end.exitCode ? WidenEachByte(std::to_string(*end.exitCode).c_str()) : L"unknown";
    event.reason = std::move(end.reason);
    event.ranMs = end.ranMs;
    event.processes = std::move(end.processes);
    return event;
  });
}

void HostEvents::BackingOff(const std::wstring& hostName, std::uint64_t nextStartWallMs) {
  Hold([&] {
    HostEvent event(hostName, L"backing-off");
    event.nextStartWallMs = nextStartWallMs;
    return event;
  });
}

void HostEvents::Removed(const std::wstring& hostName) {
  Hold([&] { return HostEvent(hostName, L"removed"); });
}

void HostEvents::CopyKept(const std::wstring& hostName, std::optional<std::uint32_t> processId) {
  Hold([&] { return HostEvent(hostName, L"copy-kept", processId); });
}

void HostEvents::EndedByModule(const std::wstring& hostName, std::optional<std::vector<std::uint32_t>> processes) {
  Hold([&] {
    HostEvent event(hostName, L"ended-by-module");
    event.processes = std::move(processes);
    return event;
  });
}

void HostEvents::CrashLooping(const std::wstring& hostName) {
  Hold([&] { return HostEvent(hostName, L"crash-looping"); });
}

void HostEvents::Recovered(const std::wstring& hostName) {
  Hold([&] { return HostEvent(hostName, L"recovered"); });
}

void HostEvents::TellLeftOver(const std::wstring& hostName, std::vector<std::uint32_t> processes) {
  const auto event = std::find_if(held.rbegin(), held.rend(), [&](const auto& entry) {
    return entry.first.hostName == hostName && std::wcscmp(entry.first.kind, L"ended") == 0;
  });
  if (event != held.rend()) event->first.processes = std::move(processes);
}

void HostEvents::Release() {
  for (const auto& [event, wallMs] : held) {
    if (!poster(event.hostName, HostEventDocument(event, ++sequence, wallMs))) ++dropped;
  }
  held.clear();
}

}  // namespace zav::custody
