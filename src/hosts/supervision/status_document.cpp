#include "hosts/supervision/status_document.h"

#include <pugixml.hpp>

#include "hosts/supervision/status_text.h"
#include "xplat/clock.h"

namespace zav::custody {
namespace {

// The process is asked: one that ended before the pass took its end is not
// running.
const wchar_t* StateOf(const HostRecord& record, const HostRun* run, bool backingOff) {
  if (record.started == 1 && !record.processHandle.HasEnded()) return L"running";
  if (backingOff) return L"backing-off";
  return run && run->HasStarted() ? L"ended" : L"not-started";
}

void DescribeRun(pugi::xml_node host, const HostRun& run, const HostRuns& runs, bool backingOff) {
  host.append_attribute(L"pid") = run.processId;
  host.append_attribute(L"started") = IsoTime(run.startedWallMs).c_str();
  if (run.endedWallMs) {
    host.append_attribute(L"ended") = IsoTime(*run.endedWallMs).c_str();
    host.append_attribute(L"exitCode") = run.exitCode ? std::to_wstring(*run.exitCode).c_str() : L"unknown";
    if (!run.reason.empty()) host.append_attribute(L"reason") = ShownName(run.reason).c_str();
  }
  if (run.adopted) host.append_attribute(L"adopted") = L"true";
  host.append_attribute(L"restartsLastHour") = static_cast<unsigned>(runs.RestartsInLastHour(run));
  if (run.crashLooping) host.append_attribute(L"crashLooping") = L"true";
  if (backingOff) {
    const std::uint64_t now = xplat::CurrentClock().NowMs();
    host.append_attribute(L"nextStart") = IsoTime(xplat::WallClockMs() + (*run.nextStartMs - now)).c_str();
  }
}

void AppendIfKnown(pugi::xml_node host, const wchar_t* name, const std::optional<std::uint64_t>& value) {
  if (value) host.append_attribute(name) = std::to_wstring(*value).c_str();
}

void DescribeTree(pugi::xml_node host, const TreeFigures& figures) {
  if (figures.processes && !figures.processes->empty())
    host.append_attribute(L"processes") = ProcessIdList(*figures.processes).c_str();
  if (!figures.leftOver.empty()) host.append_attribute(L"leftOver") = ProcessIdList(figures.leftOver).c_str();
  AppendIfKnown(host, L"cpuUserMs", figures.usage.userMs);
  AppendIfKnown(host, L"cpuKernelMs", figures.usage.kernelMs);
  const std::optional<std::uint64_t>& peak = figures.usage.peakMemoryBytes;
  AppendIfKnown(host, L"peakMemoryKB", peak ? std::optional<std::uint64_t>(*peak / 1024) : std::nullopt);
}

}  // namespace

std::string HostStatusDocument(const HostContainer& hosts, const HostRuns& runs, const TreeFiguresOf& treeFigures,
                               const std::wstring& hostName, const std::optional<std::uint64_t>& eventsDropped,
                               std::size_t unclaimedTrees) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(L"qvhosts");
  if (eventsDropped) root.append_attribute(L"eventsDropped") = std::to_wstring(*eventsDropped).c_str();
  if (unclaimedTrees != 0) root.append_attribute(L"unclaimedTrees") = std::to_wstring(unclaimedTrees).c_str();
  for (const auto& [name, record] : hosts) {
    if (!hostName.empty() && name != hostName) continue;
    const HostRun* run = runs.Find(name);
    const bool backingOff = runs.IsBackingOff(name);
    pugi::xml_node host = root.append_child(L"host");
    host.append_attribute(L"name") = ShownName(name).c_str();
    host.append_attribute(L"state") = StateOf(record, run, backingOff);
    if (run && run->HasStarted()) DescribeRun(host, *run, runs, backingOff);
    const std::optional<TreeFigures> figures = treeFigures ? treeFigures(name) : std::nullopt;
    if (figures) DescribeTree(host, *figures);
  }
  return Serialised(document);
}

std::string RefusedStatusDocument(const wchar_t* reason) {
  pugi::xml_document document;
  document.append_child(L"qvhosts").append_attribute(L"refused") = reason;
  return Serialised(document);
}

}  // namespace zav::custody
