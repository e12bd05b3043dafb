#pragma once
// ZAVConfig.xml parsed once per version of the file. A policy of N hosts
// reads the file twice per host; parsing it each time made the policy's cost
// grow with N squared. A parse is reused while the file's identity, size and
// last write time stay as they were when it was read; anything else is read
// and parsed again.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "config/xml_file.h"
#include "xplat/file_system.h"

namespace zav::custody {

class XmlFileCache {
 public:
  // A file written this close to the moment it was read may be written
  // again within the same tick of the file system's clock (two seconds on
  // FAT) and keep its version: such a parse is trusted only after its bytes
  // have been read again and found equal.
  static constexpr std::int64_t kUncertainWindowMs = 2000;

  // The file loaded as LoadXmlFile loads it. A file that cannot be read or
  // is refused is never remembered: its error comes afresh every time.
  std::shared_ptr<const XmlFile> Load(const std::wstring& path);

 private:
  bool IsCurrent(const std::wstring& path) const;
  bool IsCertain() const;

  std::mutex mutex;
  std::wstring cachedPath;
  xplat::FileVersion version;
  std::uint64_t readAtMs = 0;
  std::string bytes;
  std::shared_ptr<const XmlFile> parsed;
};

// The process's one cache, shared by the agent configuration and the module
// list, which read the same file.
XmlFileCache& SharedXmlFiles();

}  // namespace zav::custody
