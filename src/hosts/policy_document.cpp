#include <pugixml.hpp>
#include <sstream>

#include "config/xml_file.h"
#include "hosts/custodex.h"
#include "hosts/host_files.h"
#include "xplat/clock.h"

namespace zav::custody {
namespace {

// The policy lock: a spin lock word, 0 free and 1 held, with a 1 ms sleep
// between attempts. A missing lock word means no locking.
class PolicyLockHolder {
 public:
  explicit PolicyLockHolder(std::atomic<std::uint32_t>* word) : lock(word) {
    if (!lock) return;
    for (std::uint32_t expected = 0; !lock->compare_exchange_strong(expected, 1); expected = 0) xplat::Sleep(1);
  }
  ~PolicyLockHolder() {
    std::uint32_t expected = 1;
    if (lock) lock->compare_exchange_strong(expected, 0);
  }
  PolicyLockHolder(const PolicyLockHolder&) = delete;
  PolicyLockHolder& operator=(const PolicyLockHolder&) = delete;

 private:
  std::atomic<std::uint32_t>* lock;
};

}  // namespace

bool Custodex::ParseData(const EventData* event) {
  logger->LogMsg(log_level::kTrace, L"ParseData: Enter");
  bool failed = false;
  if (event && event->DataLength != 0 && event->Data) {
    PolicyLockHolder holder(policyLock.get());
    failed = !ReadPolicy(std::string(reinterpret_cast<const char*>(event->Data), event->DataLength));
  }
  logger->LogMsg(log_level::kTrace, L"ParseData: Exit");
  return failed;
}

// False only when the segment is not well-formed XML.
bool Custodex::ReadPolicy(const std::string& segment) {
  std::stringstream stream(segment);
  pugi::xml_document document;
  const pugi::xml_parse_result result = document.load(stream, pugi::parse_default, pugi::encoding_auto);
  if (!result) {
    logger->LogMsg(log_level::kCritical, L"policy XML segment had errors, Error is %ws line %d offset %d",
                   WidenEachByte(result.description()).c_str(),
                   PositionOfOffset(DecodeXmlBytes(segment), result.offset).line, static_cast<int>(result.offset));
    return false;
  }
  logger->LogMsg(log_level::kNormal, L"qvhosts XML successfully loaded.");
  const pugi::xml_node root = document.child(L"qvhosts");
  if (!root) {
    logger->LogMsg(log_level::kDiagnostic, L"No 'qvhosts' or 'host' section(s) found, is the spellings correct?");
    return true;
  }
  HostRecord entry;
  for (const pugi::xml_node& node : root.children()) {
    if (!EqualIgnoringCase(node.name(), L"host")) continue;
    const pugi::xml_attribute name = node.attribute(L"name");
    if (!name) continue;
    entry.hostName = name.value();
    // Refused once, here: such a host takes no part in applying the policy.
    if (!NamesHostFile(entry.hostName)) {
      logger->LogMsg(log_level::kError, L"ParseData: '%ws' cannot name a host file; the host is refused",
                     entry.hostName.c_str());
      continue;
    }
    if (LoadHostModulesFromConfig(entry)) Add(entry);
  }
  return true;
}

}  // namespace zav::custody
