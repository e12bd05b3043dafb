#include "hosts/supervision/host_trees.h"

#include <algorithm>

#include "xplat/clock.h"
#include "xplat/system_error.h"

namespace zav::custody {

std::wstring ProcessIdList(const std::vector<std::uint32_t>& processIds) {
  std::wstring list;
  for (const std::uint32_t processId : processIds) list += (list.empty() ? L"" : L" ") + std::to_wstring(processId);
  return list;
}

bool HostTrees::Start(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments,
                      xplat::StartedProcess& started) {
  auto found = trees.find(hostName);
  if (found == trees.end()) {
    xplat::ProcessTree tree = xplat::ProcessTree::Create(hostName);
    if (!tree) {
      if (untracked.insert(hostName).second) {
        logger.LogLastError(log_level::kError, L"StartProcess: no process tree can be made for %ws; it runs untracked",
                            hostName.c_str());
      }
      return xplat::StartProgram(image, arguments, started);
    }
    found = trees.emplace(hostName, Tree{std::move(tree), {}}).first;
  }
  if (found->second.tree.Start(image, arguments, started)) return true;
  // A host that can run at all runs, if need be outside its tree (a job the
  // service's own job forbids, say); a program that cannot start fails as ever.
  const xplat::ErrorCode treeError = xplat::LastError();
  if (!xplat::StartProgram(image, arguments, started)) return false;
  if (untracked.insert(hostName).second) {
    logger.LogSystemError(log_level::kError, treeError,
                          L"StartProcess: %ws cannot be started in its process tree; it runs untracked",
                          hostName.c_str());
  }
  return true;
}

void HostTrees::NoteHostEnded(const std::wstring& hostName) {
  const auto found = trees.find(hostName);
  if (found == trees.end()) return;
  found->second.leftOver = found->second.tree.ProcessIds();
  if (found->second.leftOver.empty()) return;
  logger.LogMsg(log_level::kNormal, L"CheckThatHostIsStillRunning: %ws has ended; processes it started run on: %ws",
                hostName.c_str(), ProcessIdList(found->second.leftOver).c_str());
}

const xplat::ProcessTree* HostTrees::Find(const std::wstring& hostName) const {
  const auto found = trees.find(hostName);
  return found == trees.end() ? nullptr : &found->second.tree;
}

bool HostTrees::Runs(const std::wstring& hostName) const {
  const xplat::ProcessTree* tree = Find(hostName);
  return tree && !tree->IsEmpty();
}

std::vector<std::uint32_t> HostTrees::LeftOver(const std::wstring& hostName) const {
  const auto found = trees.find(hostName);
  if (found == trees.end() || found->second.leftOver.empty()) return {};
  const std::vector<std::uint32_t> running = found->second.tree.ProcessIds();
  std::vector<std::uint32_t> leftOver;
  std::set_intersection(found->second.leftOver.begin(), found->second.leftOver.end(), running.begin(), running.end(),
                        std::back_inserter(leftOver));
  return leftOver;
}

bool HostTrees::WaitUntilAllEnded(std::uint32_t ms) const {
  const std::uint64_t start = xplat::CurrentClock().NowMs();
  bool all = true;
  for (const auto& [hostName, entry] : trees) all = entry.tree.WaitUntilEmpty(xplat::TimeLeftMs(start, ms)) && all;
  return all;
}

std::vector<std::wstring> HostTrees::Names() const {
  std::vector<std::wstring> names;
  for (const auto& [hostName, entry] : trees) names.push_back(hostName);
  return names;
}

std::vector<std::wstring> HostTrees::DropEnded(const HostContainer& hosts) {
  std::vector<std::wstring> dropped;
  for (auto entry = trees.begin(); entry != trees.end();) {
    if (hosts.count(entry->first) != 0 || !entry->second.tree.IsEmpty()) {
      ++entry;
      continue;
    }
    dropped.push_back(entry->first);
    entry = trees.erase(entry);
  }
  return dropped;
}

}  // namespace zav::custody
