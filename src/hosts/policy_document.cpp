#include <algorithm>
#include <pugixml.hpp>
#include <sstream>

#include "config/xml_file.h"
#include "hosts/custodex.h"
#include "xplat/clock.h"
#include "xplat/text.h"

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

std::uint32_t Unit(const std::string& bytes, std::size_t at, std::size_t size, bool bigEndian) {
  std::uint32_t unit = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : size - 1 - i)]);
    unit = (unit << 8) | byte;
  }
  return unit;
}

void AppendCodePoint(std::wstring& text, std::uint32_t c) {
  if (sizeof(wchar_t) == 2 && c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    text += static_cast<wchar_t>(0xD800 + (c >> 10));
    text += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    return;
  }
  text += static_cast<wchar_t>(c);
}

// The code-unit size and byte order the parser detects from the first bytes
// (a byte-order mark, or how '<' is stored); 1 is UTF-8.
std::size_t DetectUnitSize(const std::string& bytes, bool& bigEndian) {
  const std::uint32_t head = bytes.size() >= 4 ? Unit(bytes, 0, 4, true) : 0;
  const std::uint32_t head16 = bytes.size() >= 2 ? Unit(bytes, 0, 2, true) : 0;
  bigEndian = head == 0x0000FEFF || head == 0x0000003C || head16 == 0xFEFF || head16 == 0x003C;
  if (head == 0x0000FEFF || head == 0xFFFE0000 || head == 0x0000003C || head == 0x3C000000) return 4;
  if (head16 == 0xFEFF || head16 == 0xFFFE || head16 == 0x003C || head16 == 0x3C00) return 2;
  return 1;
}

// The parser reports where an error lies as an offset into the text it
// decoded; the line is one plus the line breaks before that offset.
int LineOfParserOffset(const std::string& bytes, std::ptrdiff_t offset) {
  bool bigEndian = false;
  const std::size_t unitSize = DetectUnitSize(bytes, bigEndian);
  std::wstring text;
  if (unitSize == 1) {
    text = xplat::FromUtf8(bytes);
  } else if (unitSize == 2) {
    std::u16string units;
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2)
      units += static_cast<char16_t>(Unit(bytes, at, 2, bigEndian));
    text = xplat::FromUtf16(units);
  } else {
    for (std::size_t at = 0; at + 3 < bytes.size(); at += 4) AppendCodePoint(text, Unit(bytes, at, 4, bigEndian));
  }
  const std::size_t end = std::min(text.size(), static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), L'\n'));
}

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
                   WidenEachByte(result.description()).c_str(), LineOfParserOffset(segment, result.offset),
                   static_cast<int>(result.offset));
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
    if (LoadHostModulesFromConfig(entry)) Add(entry);
  }
  return true;
}

}  // namespace zav::custody
