#include "xplat/registry_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/registry_store.h"

namespace xplat {

// inotify on the key's folder: every change of a value file (all writes are
// a rename of a new file), of a subkey's folder, or of the folder itself
// leaves an event. A look reads what came without waiting.
struct RegistryKeyWatch::Impl {
  FileDescriptor events;
  std::string root;
  std::wstring path;
  bool changed = true;
};

namespace {

constexpr std::uint32_t kKeyChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                      IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool HasEvents(int fd) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    return !(got < 0 && errno == EAGAIN);  // a failed read proves nothing
  }
}

}  // namespace

RegistryKeyWatch::RegistryKeyWatch() : impl(std::make_unique<Impl>()) {}

RegistryKeyWatch::~RegistryKeyWatch() = default;

// A new inotify instance each time: nothing of an earlier watch can remain.
bool RegistryKeyWatch::Watch(const std::wstring& path) {
  impl->events = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  impl->root = RegistryRootSetting();
  impl->path = path;
  impl->changed = !impl->events || ::inotify_add_watch(impl->events.Get(), KeyFolder(path).c_str(), kKeyChanges) < 0;
  if (impl->changed) impl->events.Close();
  return !impl->changed;
}

bool RegistryKeyWatch::Unchanged(const std::wstring& path) {
  if (impl->changed || path != impl->path || RegistryRootSetting() != impl->root) return false;
  impl->changed = HasEvents(impl->events.Get());
  return !impl->changed;
}

}  // namespace xplat
