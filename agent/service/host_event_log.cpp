#include "service/host_event_log.h"

#include <pugixml.hpp>

#include "service/console.h"
#include "xplat/text.h"

namespace service {
namespace {

struct Detail {
  const wchar_t* attribute;
  const char* shown;  // printed before the value; "" shows the value alone
};

constexpr Detail kDetails[] = {
    {L"pid", "process "}, {L"exitCode", "exit code "},   {L"reason", ""},
    {L"ranMs", "ran "},   {L"nextStart", "next start "}, {L"processes", "processes "},
    {L"error", "error: "},
};

}  // namespace

std::string DescribeHostEvent(const std::string& document) {
  pugi::xml_document parsed;
  const pugi::xml_node event =
      parsed.load_buffer(document.data(), document.size()) ? parsed.child(L"hostEvent") : pugi::xml_node();
  if (!event) return {};
  std::string line = "#" + xplat::ToUtf8(event.attribute(L"sequence").value()) + " " +
                     xplat::ToUtf8(event.attribute(L"name").value()) + " " +
                     xplat::ToUtf8(event.attribute(L"kind").value());
  std::string details;
  for (const Detail& detail : kDetails) {
    const pugi::xml_attribute value = event.attribute(detail.attribute);
    if (value.empty()) continue;
    details += (details.empty() ? ": " : ", ") + std::string(detail.shown) + xplat::ToUtf8(value.value());
    if (std::wstring(detail.attribute) == L"ranMs") details += " ms";
  }
  if (!event.attribute(L"adopted").empty()) details += ", adopted";
  return line + details;
}

void HostEventLog::Hear(const std::string& document) {
  const std::string line = DescribeHostEvent(document);
  if (line.empty()) return;
  Say("event %s", line.c_str());
  std::lock_guard<std::mutex> lock(mutex);
  lines.push_back(line);
  if (lines.size() > kKept) lines.pop_front();
}

std::vector<std::string> HostEventLog::Last() const {
  std::lock_guard<std::mutex> lock(mutex);
  return std::vector<std::string>(lines.begin(), lines.end());
}

}  // namespace service
