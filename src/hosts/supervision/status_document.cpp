#include "hosts/supervision/status_document.h"

#include <cstdio>
#include <ctime>
#include <pugixml.hpp>
#include <sstream>

#include "xplat/clock.h"

namespace zav::custody {
namespace {

std::wstring IsoTime(std::uint64_t wallMs) {
  const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  wchar_t text[40] = {};
  std::swprintf(text, sizeof text / sizeof text[0], L"%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<unsigned>(wallMs % 1000));
  return text;
}

const wchar_t* StateOf(const HostRecord& record, const HostRun* run, bool backingOff) {
  if (record.started == 1) return L"running";
  if (backingOff) return L"backing-off";
  return run && run->HasStarted() ? L"ended" : L"not-started";
}

void DescribeRun(pugi::xml_node host, const HostRun& run, const HostRuns& runs, bool backingOff) {
  host.append_attribute(L"pid") = run.processId;
  host.append_attribute(L"started") = IsoTime(run.startedWallMs).c_str();
  if (run.endedWallMs) {
    host.append_attribute(L"ended") = IsoTime(*run.endedWallMs).c_str();
    host.append_attribute(L"exitCode") = run.exitCode ? std::to_wstring(*run.exitCode).c_str() : L"unknown";
  }
  if (run.adopted) host.append_attribute(L"adopted") = L"true";
  host.append_attribute(L"restartsLastHour") = static_cast<unsigned>(runs.RestartsInLastHour(run));
  if (backingOff) {
    const std::uint64_t now = xplat::CurrentClock().NowMs();
    host.append_attribute(L"nextStart") = IsoTime(xplat::WallClockMs() + (*run.nextStartMs - now)).c_str();
  }
}

std::string Serialised(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

std::string HostStatusDocument(const HostContainer& hosts, const HostRuns& runs, const std::wstring& hostName) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(L"qvhosts");
  for (const auto& [name, record] : hosts) {
    if (!hostName.empty() && name != hostName) continue;
    const HostRun* run = runs.Find(name);
    const bool backingOff = runs.IsBackingOff(name);
    pugi::xml_node host = root.append_child(L"host");
    host.append_attribute(L"name") = name.c_str();
    host.append_attribute(L"state") = StateOf(record, run, backingOff);
    if (run && run->HasStarted()) DescribeRun(host, *run, runs, backingOff);
  }
  return Serialised(document);
}

std::string RefusedStatusDocument(const wchar_t* reason) {
  pugi::xml_document document;
  document.append_child(L"qvhosts").append_attribute(L"refused") = reason;
  return Serialised(document);
}

}  // namespace zav::custody
