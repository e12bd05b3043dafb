// The host status the module answers over the broker (with the status
// setting on): a "ZAV.Service.QueryHostStatus" record, whose Parameter names
// one host or is empty for all, is answered with one
// "ZAV.Service.HostStatus" record whose Data is a UTF-8 XML document in the
// policy's vocabulary:
//
//   <qvhosts>
//     <host name="Alpha" state="running" pid="4711" started="2026-12-07T08:00:47.123Z"
//           restartsLastHour="2"/>
//     <host name="Beta" state="backing-off" pid="4712" started="..." ended="..."
//           exitCode="3" restartsLastHour="5" nextStart="..."/>
//   </qvhosts>
//
// state is "running", "ended", "backing-off" or "not-started"; attributes
// without a value are left out, and exitCode is "unknown" for an ended host
// whose code cannot be read. A request that carries data is refused: the
// answer is <qvhosts refused="..."/> and nothing else.

#include <cstdio>
#include <ctime>
#include <pugixml.hpp>
#include <sstream>

#include "hosts/custodex.h"
#include "xplat/clock.h"
#include "xplat/text.h"

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

const wchar_t* StateOf(const HostRecord& record, const HostHistory* past, bool backingOff) {
  if (record.started == 1) return L"running";
  if (backingOff) return L"backing-off";
  return past && past->startedWallMs != 0 ? L"ended" : L"not-started";
}

std::string Serialised(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

void Custodex::AnswerHostStatus(const EventData& request) {
  logger->LogMsg(log_level::kDiagnostic, L"Execute: Received host status request for '%ws'", request.Parameter.c_str());
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(L"qvhosts");
  if (request.DataLength != 0) {
    logger->LogMsg(log_level::kError, L"Execute: host status request refused: it carries data");
    root.append_attribute(L"refused") = L"the request carries data";
  } else {
    const std::uint64_t now = xplat::CurrentClock().NowMs();
    for (const auto& [hostName, record] : hosts) {
      if (!request.Parameter.empty() && hostName != request.Parameter) continue;
      const auto found = history.find(hostName);
      const HostHistory* past = found == history.end() ? nullptr : &found->second;
      const bool backingOff = IsBackingOff(hostName);
      pugi::xml_node host = root.append_child(L"host");
      host.append_attribute(L"name") = hostName.c_str();
      host.append_attribute(L"state") = StateOf(record, past, backingOff);
      if (!past || past->startedWallMs == 0) continue;
      host.append_attribute(L"pid") = past->processId;
      host.append_attribute(L"started") = IsoTime(past->startedWallMs).c_str();
      if (past->endedWallMs) {
        host.append_attribute(L"ended") = IsoTime(*past->endedWallMs).c_str();
        host.append_attribute(L"exitCode") = past->exitCode ? std::to_wstring(*past->exitCode).c_str() : L"unknown";
      }
      if (past->adopted) host.append_attribute(L"adopted") = L"true";
      host.append_attribute(L"restartsLastHour") = static_cast<unsigned>(RestartsInLastHour(*past, now));
      if (backingOff) {
        host.append_attribute(L"nextStart") = IsoTime(xplat::WallClockMs() + (*past->nextStartMs - now)).c_str();
      }
    }
  }
  const std::string answer = Serialised(document);
  unsigned char* const bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(answer.data()));
  EventData record(L"ZAV.Service", L"HostStatus", request.Parameter);
  record.DataLength = static_cast<std::uint32_t>(answer.size());
  record.Data = bytes;
  record.PrimaryCode = EventCode::Default;
  PostEventWithRetry(record, 0);
  if (record.Data == bytes)
    record.Data = nullptr;  // not posted: the buffer is the answer's; else the copy is the record's
}

}  // namespace zav::custody
