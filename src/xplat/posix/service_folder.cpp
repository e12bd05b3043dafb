#include "xplat/posix/service_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "xplat/posix/control_group.h"
#include "xplat/posix/kernel_file.h"
#include "xplat/posix/process_stat.h"

namespace xplat {
namespace {

constexpr unsigned kFolderNameTries = 1000;

std::string Beneath(const TreesPlace& place, const std::string& folderName) { return place.group + "/" + folderName; }

// The lock is of the folder the path names now, not of one removed meanwhile.
bool NamesSameFolder(const std::string& path, int fd) {
  struct stat named {};
  struct stat held {};
  return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &held) == 0 && named.st_ino == held.st_ino &&
         named.st_dev == held.st_dev;
}

}  // namespace

std::shared_ptr<ServiceFolder> ServiceFolder::LockLeft(const TreesPlace& place, const std::string& folderName) {
  const std::string path = place.mount + Beneath(place, folderName);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
  if (!NamesSameFolder(path, fd.Get())) {
    errno = ENOENT;
    return nullptr;
  }
  return std::shared_ptr<ServiceFolder>(new ServiceFolder(place.mount, Beneath(place, folderName), std::move(fd)));
}

// Made anew, then locked: a service of this install that looks meanwhile
// finds it empty and unlocked and may remove it, so the lock is checked to
// hold the folder the name still gives, else the next name is tried.
std::shared_ptr<ServiceFolder> ServiceFolder::MakeOwn(const TreesPlace& place, const std::string& install) {
  const std::optional<ProcessStat> self = ReadProcessStat(::getpid());
  if (!self) return nullptr;
  ServiceFolderName name{install, ::getpid(), self->startTicks, 0};
  for (; name.serial < kFolderNameTries; ++name.serial) {
    const std::string folderName = FormatServiceFolderName(name);
    if (::mkdir((place.mount + Beneath(place, folderName)).c_str(), 0755) != 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (std::shared_ptr<ServiceFolder> folder = LockLeft(place, folderName)) return folder;
  }
  errno = EEXIST;
  return nullptr;
}

ServiceFolder::~ServiceFolder() { ::rmdir(Path().c_str()); }

std::vector<std::string> ServiceFolder::Subfolders() const { return xplat::Subfolders(lock.Get()); }

void ServiceFolder::RemoveEmptyGroups() const {
  for (const std::string& name : Subfolders()) ::rmdir((Path() + "/" + name).c_str());
}

// A folder of this install is taken only once its lock is: a running
// service, in whatever namespace, holds its own.
LeftGroups CollectLeftGroups(const TreesPlace& place, const std::string& install, const std::string& own) {
  LeftGroups left;
  const FileDescriptor services(::open((place.mount + place.group).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const std::string& name : services ? Subfolders(services.Get()) : std::vector<std::string>()) {
    if (!IsServiceFolderName(name)) continue;
    const std::optional<ServiceFolderName> parsed = ParseServiceFolderName(name);
    if (!parsed) left.unreadable.push_back(name);
    if (!parsed || parsed->install != install || name == own) continue;
    const std::shared_ptr<ServiceFolder> folder = ServiceFolder::LockLeft(place, name);
    if (!folder) continue;
    for (const std::string& groupName : folder->Subfolders()) {
      const std::optional<std::string> hostName = HostOfGroupFolder(groupName);
      if (!hostName) {
        left.unreadable.push_back(name + "/" + groupName);
        continue;
      }
      const ControlGroup group(place.mount, folder->Relative() + "/" + groupName);
      if (group.State() == TreeState::Empty) {
        group.Remove();
      } else {
        left.groups.push_back(LeftGroup{*hostName, folder->Relative() + "/" + groupName, folder});
      }
    }
  }
  return left;
}

}  // namespace xplat
