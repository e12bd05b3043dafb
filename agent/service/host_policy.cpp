#include "service/host_policy.h"

#include <algorithm>
#include <cwctype>
#include <pugixml.hpp>
#include <sstream>

namespace service {
namespace {

bool IsHostElement(const wchar_t* name) {
  const std::wstring host = L"host";
  const std::wstring given = name;
  return given.size() == host.size() && std::equal(given.begin(), given.end(), host.begin(), [](wchar_t a, wchar_t b) {
           return std::towlower(static_cast<wint_t>(a)) == static_cast<wint_t>(b);
         });
}

}  // namespace

std::string DefaultPolicyDocument() {
  return "<qvhosts>\n"
         "  <host name=\"Alpha\"/>\n"
         "  <host name=\"Beta\"/>\n"
         "  <host name=\"Gamma\"/>\n"
         "</qvhosts>\n";
}

std::optional<std::vector<std::wstring>> PolicyHostNames(const std::string& document) {
  pugi::xml_document parsed;
  if (!parsed.load_buffer(document.data(), document.size())) return std::nullopt;
  const pugi::xml_node root = parsed.child(L"qvhosts");
  if (!root) return std::nullopt;
  std::vector<std::wstring> hosts;
  for (const pugi::xml_node& entry : root.children()) {
    const pugi::xml_attribute name = entry.attribute(L"name");
    if (IsHostElement(entry.name()) && name) hosts.push_back(name.value());
  }
  return hosts;
}

std::optional<std::string> PolicyWithoutHost(const std::string& document, const std::wstring& hostName) {
  pugi::xml_document parsed;
  if (!parsed.load_buffer(document.data(), document.size())) return std::nullopt;
  pugi::xml_node root = parsed.child(L"qvhosts");
  for (pugi::xml_node entry = root.first_child(); entry;) {
    const pugi::xml_node next = entry.next_sibling();
    if (IsHostElement(entry.name()) && hostName == entry.attribute(L"name").value()) root.remove_child(entry);
    entry = next;
  }
  std::ostringstream text;
  parsed.save(text, L"  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return text.str();
}

PolicyStore::PolicyStore(std::string initial) { Replace(std::move(initial)); }

std::string PolicyStore::Document() const {
  std::lock_guard<std::mutex> lock(mutex);
  return document;
}

std::vector<std::wstring> PolicyStore::Hosts() const {
  std::lock_guard<std::mutex> lock(mutex);
  return hosts;
}

std::vector<std::wstring> PolicyStore::HostsEverListed() const {
  std::lock_guard<std::mutex> lock(mutex);
  return everListed;
}

bool PolicyStore::Replace(std::string newDocument) {
  const std::optional<std::vector<std::wstring>> names = PolicyHostNames(newDocument);
  std::lock_guard<std::mutex> lock(mutex);
  document = std::move(newDocument);
  if (!names) return false;
  hosts = *names;
  Remember(hosts);
  return true;
}

bool PolicyStore::RemoveHost(const std::wstring& hostName) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto listed = std::find(hosts.begin(), hosts.end(), hostName);
  if (listed == hosts.end()) return false;
  const std::optional<std::string> reduced = PolicyWithoutHost(document, hostName);
  if (!reduced) return false;
  document = *reduced;
  hosts.erase(std::remove(hosts.begin(), hosts.end(), hostName), hosts.end());
  return true;
}

void PolicyStore::Remember(const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (std::find(everListed.begin(), everListed.end(), name) == everListed.end()) everListed.push_back(name);
  }
}

}  // namespace service
