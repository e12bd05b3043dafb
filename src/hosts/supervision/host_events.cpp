#include "hosts/supervision/host_events.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cwchar>

#include "hosts/supervision/host_trees.h"
#include "hosts/supervision/status_text.h"
#include "xplat/clock.h"

namespace zav::custody {
namespace {

void AppendIf(pugi::xml_node node, const wchar_t* name, const std::optional<std::uint64_t>& value) {
  if (value) node.append_attribute(name) = std::to_wstring(*value).c_str();
}

void AppendIf(pugi::xml_node node, const wchar_t* name, const std::wstring& value) {
  if (!value.empty()) node.append_attribute(name) = ShownName(value).c_str();
}

}  // namespace

std::string HostEventDocument(const HostEvent& event, std::uint64_t sequence, std::uint64_t wallMs) {
  pugi::xml_document document;
  pugi::xml_node node = document.append_child(L"hostEvent");
  node.append_attribute(L"name") = ShownName(event.hostName).c_str();
  node.append_attribute(L"kind") = event.kind;
  node.append_attribute(L"sequence") = std::to_wstring(sequence).c_str();
  node.append_attribute(L"time") = IsoTime(wallMs).c_str();
  AppendIf(node, L"pid", event.processId ? std::optional<std::uint64_t>(*event.processId) : std::nullopt);
  if (event.adopted) node.append_attribute(L"adopted") = L"true";
  AppendIf(node, L"exitCode", event.exitCode.value_or(L""));
  AppendIf(node, L"reason", event.reason);
  AppendIf(node, L"ranMs", event.ranMs);
  if (event.nextStartWallMs) node.append_attribute(L"nextStart") = IsoTime(*event.nextStartWallMs).c_str();
  if (event.processes && !event.processes->empty())
    node.append_attribute(L"processes") = ProcessIdList(*event.processes).c_str();
  AppendIf(node, L"error", event.error);
  return Serialised(document);
}

void HostEvents::Hold(HostEvent event) {
  if (enabled) held.emplace_back(std::move(event), xplat::WallClockMs());
}

void HostEvents::Started(const std::wstring& hostName, std::uint32_t processId, bool adopted) {
  HostEvent event(hostName, L"started", processId);
  event.adopted = adopted;
  Hold(std::move(event));
}

void HostEvents::StartFailed(const std::wstring& hostName, const std::wstring& error) {
  HostEvent event(hostName, L"start-failed");
  event.error = error;
  Hold(std::move(event));
}

void HostEvents::Ended(const std::wstring& hostName, std::uint32_t processId, End end) {
  HostEvent event(hostName, L"ended", processId);
  event.exitCode = end.exitCode ? std::to_wstring(*end.exitCode) : L"unknown";
  event.reason = std::move(end.reason);
  event.ranMs = end.ranMs;
  event.processes = std::move(end.processes);
  Hold(std::move(event));
}

void HostEvents::BackingOff(const std::wstring& hostName, std::uint64_t nextStartWallMs) {
  HostEvent event(hostName, L"backing-off");
  event.nextStartWallMs = nextStartWallMs;
  Hold(std::move(event));
}

void HostEvents::Removed(const std::wstring& hostName) { Hold(HostEvent(hostName, L"removed")); }

void HostEvents::CopyKept(const std::wstring& hostName, std::optional<std::uint32_t> processId) {
  Hold(HostEvent(hostName, L"copy-kept", processId));
}

void HostEvents::EndedByModule(const std::wstring& hostName, std::optional<std::vector<std::uint32_t>> processes) {
  HostEvent event(hostName, L"ended-by-module");
  event.processes = std::move(processes);
  Hold(std::move(event));
}

void HostEvents::CrashLooping(const std::wstring& hostName) { Hold(HostEvent(hostName, L"crash-looping")); }

void HostEvents::Recovered(const std::wstring& hostName) { Hold(HostEvent(hostName, L"recovered")); }

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
