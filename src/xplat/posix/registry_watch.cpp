#include "xplat/registry_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/registry_store.h"

namespace xplat {

// inotify on the key's folder, where every change of a value file (all
// writes are a rename of a new file), of a subkey's folder, or of the
// folder itself leaves an event; and on each folder above it, up to the one
// that holds the store, where only the entry on the key's path counts: a
// key above renamed or made anew changes the key. A look reads what came
// without waiting.
struct RegistryKeyWatch::Impl {
  FileDescriptor events;
  std::string root;
  std::wstring path;
  std::map<int, std::string> entryOnPath;  // watch -> the entry that counts; none for the key's own folder
  bool changed = true;

  bool Add(const std::filesystem::path& folder, std::uint32_t changes, const std::string& entry) {
    const int watch = ::inotify_add_watch(events.Get(), folder.c_str(), changes);
    if (watch < 0) return false;
    entryOnPath[watch] = entry;
    return true;
  }
  bool Counts(const inotify_event& event) const {
    if (event.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) return true;
    const auto entry = entryOnPath.find(event.wd);
    return entry == entryOnPath.end() || entry->second.empty() || (event.len > 0 && entry->second == event.name);
  }
  // Reads every event that came; true when one of them counts. A failed
  // read proves nothing.
  bool HasChanges() const {
    alignas(inotify_event) char buffer[4096];
    bool counted = false;
    for (;;) {
      const ssize_t got = ::read(events.Get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return counted || errno != EAGAIN;
      if (got == 0) return true;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        counted = counted || Counts(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
};

namespace {

constexpr std::uint32_t kKeyChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                      IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kPathChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

RegistryKeyWatch::RegistryKeyWatch() : impl(std::make_unique<Impl>()) {}

RegistryKeyWatch::~RegistryKeyWatch() = default;

// A new inotify instance each time: nothing of an earlier watch can remain.
bool RegistryKeyWatch::Watch(const std::wstring& path) {
  impl->events = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  impl->entryOnPath.clear();
  impl->root = RegistryRootSetting();
  impl->path = path;
  const std::filesystem::path key = KeyFolder(path);
  const std::filesystem::path top = KeyFolder(L"").parent_path().parent_path();  // holds the store's root
  bool watched = impl->events && impl->Add(key, kKeyChanges, "");
  for (std::filesystem::path below = key; watched && below != top && below.has_relative_path();
       below = below.parent_path()) {
    watched = impl->Add(below.parent_path(), kPathChanges, below.filename().string());
  }
  impl->changed = !watched;
  if (impl->changed) impl->events.Close();
  return watched;
}

bool RegistryKeyWatch::Unchanged(const std::wstring& path) {
  if (impl->changed || path != impl->path || RegistryRootSetting() != impl->root) return false;
  impl->changed = impl->HasChanges();
  return !impl->changed;
}

}  // namespace xplat
