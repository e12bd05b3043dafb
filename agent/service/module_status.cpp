#include "service/module_status.h"

#include <algorithm>
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

namespace {

// "4711 4712": one blank between ids.
std::size_t CountOf(const std::string& processIds) {
  return processIds.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(processIds.begin(), processIds.end(), ' '));
}

// The hosts' process trees, when the module tracks them.
void PrintTrees(const pugi::xml_node& root) {
  if (!root.find_child([](const pugi::xml_node& host) { return !host.attribute(L"processes").empty(); })) return;
  SayPlain("%-12s %5s %12s %12s %14s  %-24s  %s", "host", "procs", "cpu user ms", "cpu kern ms", "peak memory KB",
           "processes", "left over");
  for (const pugi::xml_node& host : root.children(L"host")) {
    if (host.attribute(L"processes").empty()) continue;
    // A figure the system does not tell is left out of the status: "-".
    auto text = [&](const wchar_t* name) {
      return host.attribute(name).empty() ? std::string("-") : xplat::ToUtf8(host.attribute(name).value());
    };
    const std::string processes = text(L"processes");
    const std::string leftOver = xplat::ToUtf8(host.attribute(L"leftOver").value());
    SayPlain("%-12s %5s %12s %12s %14s  %-24s  %s", text(L"name").c_str(), std::to_string(CountOf(processes)).c_str(),
             text(L"cpuUserMs").c_str(), text(L"cpuKernelMs").c_str(), text(L"peakMemoryKB").c_str(), processes.c_str(),
             leftOver.c_str());
  }
}

}  // namespace

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
    // A figure the system does not tell is left out of the status: "-".
    auto text = [&](const wchar_t* name) {
      return host.attribute(name).empty() ? std::string("-") : xplat::ToUtf8(host.attribute(name).value());
    };
    SayPlain("%-12s %-12s %8s  %-24s  %-24s %6s %9s  %s", text(L"name").c_str(), text(L"state").c_str(),
             text(L"pid").c_str(), text(L"started").c_str(), text(L"ended").c_str(), text(L"exitCode").c_str(),
             text(L"restartsLastHour").c_str(), text(L"nextStart").c_str());
  }
  PrintTrees(root);
  return true;
}

}  // namespace service
