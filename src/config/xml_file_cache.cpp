#include "config/xml_file_cache.h"

#include "xplat/clock.h"

namespace zav::custody {

std::shared_ptr<const XmlFile> XmlFileCache::Load(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex);
  if (parsed && IsCurrent(path) && IsCertain()) return parsed;

  const std::uint64_t now = xplat::WallClockMs();
  auto file = std::make_shared<XmlFile>();
  xplat::FileVersion readVersion;
  std::optional<std::string> content = xplat::ReadSharedFile(path, kMaxXmlFileBytes, &file->refusal, &readVersion);
  if (!content) {
    parsed.reset();
    std::string().swap(bytes);
    file->result.status = pugi::status_io_error;
    return file;
  }
  // The same bytes as before: the parse stands, and is certain once the
  // file was last written well before this read.
  if (parsed && path == cachedPath && *content == bytes) {
    version = readVersion;
    readAtMs = now;
    return parsed;
  }
  ParseXmlBytes(*content, *file);
  // The text only serves to place a parse error; the document has its own copy.
  if (file->result) std::wstring().swap(file->text);
  cachedPath = path;
  version = readVersion;
  readAtMs = now;
  bytes = std::move(*content);
  parsed = std::move(file);
  return parsed;
}

bool XmlFileCache::IsCurrent(const std::wstring& path) const {
  if (path != cachedPath) return false;
  const std::optional<xplat::FileVersion> now = xplat::VersionOfFile(path);
  return now && *now == version;
}

bool XmlFileCache::IsCertain() const {
  const std::int64_t writtenMs = version.modifiedNs / 1000000;
  return writtenMs + kUncertainWindowMs < static_cast<std::int64_t>(readAtMs);
}

XmlFileCache& SharedXmlFiles() {
  static XmlFileCache cache;
  return cache;
}

}  // namespace zav::custody
