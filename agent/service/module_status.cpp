#include "service/module_status.h"

#include <chrono>
#include <pugixml.hpp>

#include "service/console.h"
#include "service/events.h"
#include "xplat/text.h"

namespace service {

std::optional<std::string> ModuleStatus::Ask(BrokerBinding& broker, std::uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    answer.reset();
  }
  if (!PostEvent(broker, L"ZAV.Service.QueryHostStatus")) return std::nullopt;
  std::unique_lock<std::mutex> lock(mutex);
  delivered.wait_for(lock, std::chrono::milliseconds(ms), [this] { return answer.has_value(); });
  return answer;
}

void ModuleStatus::Deliver(std::string document) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    answer = std::move(document);
  }
  delivered.notify_all();
}

bool PrintModuleStatus(const std::string& document) {
  pugi::xml_document parsed;
  const pugi::xml_node root =
      parsed.load_buffer(document.data(), document.size()) ? parsed.child(L"qvhosts") : pugi::xml_node();
  if (!root) return false;
  if (const pugi::xml_attribute refused = root.attribute(L"refused")) {
    Say("the module refused the request: %s", xplat::ToUtf8(refused.value()).c_str());
    return true;
  }
  SayPlain("%-12s %-12s %8s  %-24s  %-24s %6s %9s  %s", "host", "state", "process", "started", "ended", "exit",
           "restarts", "next start");
  for (const pugi::xml_node& host : root.children(L"host")) {
    auto text = [&](const wchar_t* name) { return xplat::ToUtf8(host.attribute(name).value()); };
    SayPlain("%-12s %-12s %8s  %-24s  %-24s %6s %9s  %s", text(L"name").c_str(), text(L"state").c_str(),
             text(L"pid").c_str(), text(L"started").c_str(), text(L"ended").c_str(), text(L"exitCode").c_str(),
             text(L"restartsLastHour").c_str(), text(L"nextStart").c_str());
  }
  return true;
}

}  // namespace service
