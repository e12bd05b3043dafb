// Loads arbitrary bytes as an archived event record, as the broker does with
// every record it copies. Anything but a clean load or an archive exception
// (a crash, a leak, a huge allocation) is a finding.

#include <boost/archive/archive_exception.hpp>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "module/event_data.h"
#include "module/text_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  EventData record;
  try {
    zav::LoadEvent(in, record);
  } catch (const boost::archive::archive_exception&) {
    return 0;
  }
  // A record that loaded must archive again without trouble.
  std::ostringstream out;
  zav::SaveEvent(out, record);
  return 0;
}
