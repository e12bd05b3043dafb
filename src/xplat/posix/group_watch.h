#pragma once
// The cgroup.events of the groups one wait watches, held across its rounds
// up to a number of descriptors. Each round reads every group asked for
// again, which both tells its state and arms the next poll; a group not
// asked for in a round is let go.

#include <poll.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "xplat/posix/control_group.h"
#include "xplat/posix/file_descriptor.h"

namespace xplat {

class GroupWatch {
 public:
  explicit GroupWatch(std::size_t most) : most(most) {}

  void BeginRound();
  // The group's state as its cgroup.events tells. A group that holds a
  // process is watched from then on, unless no descriptor is left for it
  // or its file cannot be read: then the round is unwatched.
  TreeState Watch(const ControlGroup& group);
  // Lets go of the groups the round did not ask for.
  void EndRound();

  // What to poll for POLLPRI: every watched group that holds a process.
  std::vector<pollfd> Polled() const;
  bool Unwatched() const { return unwatched; }

 private:
  struct Held {
    FileDescriptor events;
    TreeState state = TreeState::Unknown;
    bool asked = false;
  };

  std::size_t most;
  std::map<std::string, Held> held;  // by the group's folder
  bool unwatched = false;
};

}  // namespace xplat
