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

bool IsHighSurrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Whether XML 1.0 can carry the character at `at`: a surrogate only as half
// of a pair, and only where wide strings are UTF-16.
bool XmlCanCarry(const std::wstring& text, std::size_t at) {
  const std::uint32_t c = static_cast<std::uint32_t>(text[at]);
  if (c < 0x20 || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF) return false;
  if (sizeof(wchar_t) == 4) return !IsHighSurrogate(c) && !IsLowSurrogate(c);
  if (IsHighSurrogate(c)) return at + 1 < text.size() && IsLowSurrogate(static_cast<std::uint32_t>(text[at + 1]));
  if (IsLowSurrogate(c)) return at > 0 && IsHighSurrogate(static_cast<std::uint32_t>(text[at - 1]));
  return true;
}

// A name as the document shows it: what XML 1.0 cannot carry (control
// characters, unpaired surrogates, U+FFFE, U+FFFF) as \uXXXX, and the
// backslash as \\, so that every answer parses and no name reads as another.
std::wstring ShownName(const std::wstring& name) {
  std::wstring shown;
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (name[at] == L'\\') {
      shown += L"\\\\";
    } else if (XmlCanCarry(name, at)) {
      shown += name[at];
    } else {
      wchar_t escape[12] = {};
      const std::uint32_t c = static_cast<std::uint32_t>(name[at]);
      std::swprintf(escape, sizeof escape / sizeof escape[0], c > 0xFFFF ? L"\\U%08X" : L"\\u%04X", c);
      shown += escape;
    }
  }
  return shown;
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

std::string Serialised(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

std::string HostStatusDocument(const HostContainer& hosts, const HostRuns& runs, const TreeFiguresOf& treeFigures,
                               const std::wstring& hostName) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(L"qvhosts");
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
