#include "xplat/posix/group_watch.h"

namespace xplat {

void GroupWatch::BeginRound() {
  unwatched = false;
  for (auto& [folder, group] : held) group.asked = false;
}

TreeState GroupWatch::Watch(const ControlGroup& group) {
  const auto found = held.find(group.Folder());
  if (found != held.end()) {
    found->second.asked = true;
    found->second.state = ControlGroup::ReadEvents(found->second.events);
    unwatched = unwatched || found->second.state == TreeState::Unknown;
    return found->second.state;
  }
  if (held.size() >= most) {
    unwatched = true;
    return group.State();
  }
  ControlGroup::WatchedEvents opened = group.OpenEvents();
  if (opened.state == TreeState::Populated) {
    held.emplace(group.Folder(), Held{std::move(opened.events), opened.state, true});
  }
  unwatched = unwatched || opened.state == TreeState::Unknown;
  return opened.state;
}

void GroupWatch::EndRound() {
  for (auto group = held.begin(); group != held.end();) {
    group = group->second.asked ? std::next(group) : held.erase(group);
  }
}

std::vector<pollfd> GroupWatch::Polled() const {
  std::vector<pollfd> polled;
  for (const auto& [folder, group] : held) {
    if (group.state == TreeState::Populated) polled.push_back(pollfd{group.events.Get(), POLLPRI, 0});
  }
  return polled;
}

}  // namespace xplat
