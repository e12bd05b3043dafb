#pragma once
// A service's folder of process trees, locked (flock) by the one that holds
// this object: the lock, not a name or a number, says that a service still
// runs, whatever process-id namespace it runs in. A folder whose lock can be
// taken belongs to a service that has ended; taking its lock makes its
// trees this service's and keeps any other from taking them too.

#include <memory>
#include <string>
#include <vector>

#include "xplat/posix/control_group_place.h"
#include "xplat/posix/file_descriptor.h"

namespace xplat {

class ServiceFolder {
 public:
  // A new folder of this service's own, locked; null, with errno, when none
  // can be made.
  static std::shared_ptr<ServiceFolder> MakeOwn(const TreesPlace& place, const std::string& install);
  // The folder of an ended service, locked now; null while its service
  // holds it, or once it is gone.
  static std::shared_ptr<ServiceFolder> LockLeft(const TreesPlace& place, const std::string& folderName);

  // Goes once empty; the lock goes with the object.
  ~ServiceFolder();
  ServiceFolder(const ServiceFolder&) = delete;
  ServiceFolder& operator=(const ServiceFolder&) = delete;

  const std::string& Mount() const { return mount; }
  // Beneath the mount.
  const std::string& Relative() const { return relative; }
  std::string Path() const { return mount + relative; }
  // The names of the folders in it.
  std::vector<std::string> Subfolders() const;
  // Removes the groups in it that hold nothing; the kernel refuses the rest.
  void RemoveEmptyGroups() const;

 private:
  ServiceFolder(std::string mount, std::string relative, FileDescriptor lock)
      : mount(std::move(mount)), relative(std::move(relative)), lock(std::move(lock)) {}

  std::string mount;
  std::string relative;
  FileDescriptor lock;
};

struct LeftGroup {
  std::string hostName;
  std::string relative;                   // beneath the mount
  std::shared_ptr<ServiceFolder> folder;  // its service's folder, locked
};

struct LeftGroups {
  std::vector<LeftGroup> groups;        // those still holding processes
  std::vector<std::string> unreadable;  // folder names skipped: their names do not parse
};

// The groups that ended services of this install (or earlier modules of
// this service) left beside `own`. Empty groups of those folders go, and so
// do the folders once empty; every other folder is left alone.
LeftGroups CollectLeftGroups(const TreesPlace& place, const std::string& install, const std::string& own);

}  // namespace xplat
