#include "hosts/supervision/host_trees.h"

#include <algorithm>

#include "xplat/clock.h"
#include "xplat/system_error.h"

namespace zav::custody {
namespace {

constexpr std::uint64_t kRefreshMs = 30000;

}  // namespace

std::wstring ProcessIdList(const std::vector<std::uint32_t>& processIds) {
  std::wstring list;
  for (const std::uint32_t processId : processIds) list += (list.empty() ? L"" : L" ") + std::to_wstring(processId);
  return list;
}

HostTrees::HostTrees(bool trackHostTrees, const std::wstring& install, CLogger& hostLogger)
    : enabled(trackHostTrees), logger(hostLogger) {
  if (!enabled) return;
  set = std::make_unique<xplat::ProcessTreeSet>(install);
  TakeOverLeftTrees();
}

void HostTrees::TakeOverLeftTrees() {
  xplat::ProcessTreeSet::LeftTrees left = set->TakeOverLeftTrees();
  for (const std::wstring& name : left.unreadable) {
    logger.LogMsg(
        log_level::kNormal,
        L"Execute: %ws beside the service's process trees is passed over: its name is not one a service gives",
        name.c_str());
  }
  for (auto& [hostName, tree] : left.trees) {
    const std::optional<std::vector<std::uint32_t>> processes = tree.ProcessIds();
    logger.LogMsg(log_level::kNormal, L"Execute: an ended service left processes of %ws running: %ws", hostName.c_str(),
                  processes ? ProcessIdList(*processes).c_str() : L"(they cannot be listed)");
    trees.emplace(hostName, Tree{std::move(tree), {}, false});
  }
}

void HostTrees::Claim(const std::wstring& hostName) {
  const auto left = trees.find(hostName);
  if (left == trees.end() || left->second.claimed) return;
  logger.LogMsg(log_level::kNormal, L"ApplyHostPolicy: %ws takes over the processes an ended service left",
                hostName.c_str());
  left->second.claimed = true;
}

std::size_t HostTrees::UnclaimedTrees() const {
  return static_cast<std::size_t>(
      std::count_if(trees.begin(), trees.end(), [](const auto& entry) { return !entry.second.claimed; }));
}

bool HostTrees::Start(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments,
                      xplat::StartedProcess& started) {
  auto found = trees.find(hostName);
  if (found == trees.end()) {
    xplat::ProcessTree tree = set->Create(hostName);
    if (!tree) {
      if (untracked.insert(hostName).second) {
        logger.LogLastError(log_level::kError, L"StartProcess: no process tree can be made for %ws; it runs untracked",
                            hostName.c_str());
      }
      return xplat::StartProgram(image, arguments, started);
    }
    found = trees.emplace(hostName, Tree{std::move(tree), {}}).first;
  }
  found->second.claimed = true;
  xplat::ProcessTree& tree = found->second.tree;
  const bool inTree = tree.Start(image, arguments, started);
  SayWhyProcessGroups(hostName, tree);
  if (inTree) {
    abandoned.erase(hostName);
    untracked.erase(hostName);  // said again should it run outside once more
    return true;
  }
  if (tree.StartAbandoned()) {
    if (abandoned.insert(hostName).second) {
      logger.LogMsg(log_level::kError,
                    L"StartProcess: %ws did not start within a second in its process tree; it was ended and is "
                    L"tried again at its next start",
                    hostName.c_str());
    }
    return false;
  }
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

// A reason of the system's is said once; one of a tree's own once for its host.
void HostTrees::SayWhyProcessGroups(const std::wstring& hostName, const xplat::ProcessTree& tree) {
  if (tree.Kind() != xplat::ProcessTreeKind::ProcessGroup) return;
  const std::wstring reason = tree.WhyProcessGroups();
  const bool alone = tree.FellBackAlone();
  if (reason.empty() || !reasonsSaid.insert(alone ? hostName + L"\n" + reason : reason).second) return;
  if (alone) {
    logger.LogMsg(log_level::kError, L"StartProcess: %ws runs in a process group from now on: %ws", hostName.c_str(),
                  reason.c_str());
  } else {
    logger.LogMsg(log_level::kNormal, L"StartProcess: %ws runs in a process group, as hosts do from now on where %ws",
                  hostName.c_str(), reason.c_str());
  }
}

// Asked first whether anything runs on: the host's restart waits for this,
// but not for a look at every process.
std::optional<std::vector<std::uint32_t>> HostTrees::NoteHostEnded(const std::wstring& hostName) {
  const auto found = trees.find(hostName);
  if (found == trees.end()) return std::vector<std::uint32_t>();
  Tree& entry = found->second;
  entry.leftOver.clear();
  if (entry.tree.Kind() != xplat::ProcessTreeKind::JobObject) {
    untold.emplace_back(hostName, entry.tree.Runs());
    return std::nullopt;
  }
  // One job holds every run: it is read before the next run joins it.
  if (entry.tree.State() == xplat::TreeState::Empty) return std::vector<std::uint32_t>();
  return TellLeftOver(hostName, entry, entry.tree.ProcessIds());
}

// A run started since its host ended is left out.
std::vector<std::pair<std::wstring, std::vector<std::uint32_t>>> HostTrees::TellLeftOvers() {
  std::vector<std::pair<std::wstring, std::vector<std::uint32_t>>> told;
  if (untold.empty()) return told;
  const xplat::ProcessTreeSet::Round round = OneLook();
  for (const auto& [hostName, runs] : std::exchange(untold, {})) {
    const auto found = trees.find(hostName);
    if (found == trees.end()) continue;
    told.emplace_back(hostName, TellLeftOver(hostName, found->second, found->second.tree.ProcessIdsOfRuns(runs)));
  }
  return told;
}

std::vector<std::uint32_t> HostTrees::TellLeftOver(const std::wstring& hostName, Tree& entry,
                                                   const std::optional<std::vector<std::uint32_t>>& running) {
  entry.leftOver = running.value_or(std::vector<std::uint32_t>());
  if (!running) {
    logger.LogLastError(log_level::kError,
                        L"CheckThatHostIsStillRunning: %ws has ended; the processes it started cannot be listed",
                        hostName.c_str());
  } else if (!running->empty()) {
    logger.LogMsg(log_level::kNormal, L"CheckThatHostIsStillRunning: %ws has ended; processes it started run on: %ws",
                  hostName.c_str(), ProcessIdList(*running).c_str());
  }
  return entry.leftOver;
}

xplat::ProcessTree* HostTrees::Find(const std::wstring& hostName) {
  const auto found = trees.find(hostName);
  return found == trees.end() ? nullptr : &found->second.tree;
}

const xplat::ProcessTree* HostTrees::Find(const std::wstring& hostName) const {
  const auto found = trees.find(hostName);
  return found == trees.end() ? nullptr : &found->second.tree;
}

xplat::TreeState HostTrees::State(const std::wstring& hostName) const {
  const xplat::ProcessTree* tree = Find(hostName);
  if (!tree) return xplat::TreeState::Empty;
  tree->Refresh();
  return tree->State();
}

// Left over are those that outlived an earlier run of the host and still run.
xplat::ProcessTreeSet::Round HostTrees::OneLook() const {
  return set ? xplat::ProcessTreeSet::Round(*set) : xplat::ProcessTreeSet::Round();
}

std::optional<TreeFigures> HostTrees::Figures(const std::wstring& hostName) const {
  const auto found = trees.find(hostName);
  if (found == trees.end()) return std::nullopt;
  TreeFigures figures;
  figures.processes = found->second.tree.ProcessIds();
  if (figures.processes) {
    const std::vector<std::uint32_t>& earlier = found->second.leftOver;
    std::set_intersection(earlier.begin(), earlier.end(), figures.processes->begin(), figures.processes->end(),
                          std::back_inserter(figures.leftOver));
  }
  figures.usage = found->second.tree.ReadUsage();
  return figures;
}

std::vector<const xplat::ProcessTree*> HostTrees::All() const {
  std::vector<const xplat::ProcessTree*> all;
  for (const auto& [hostName, entry] : trees) all.push_back(&entry.tree);
  return all;
}

xplat::TreeState HostTrees::WaitUntilEmpty(const std::vector<const xplat::ProcessTree*>& waited,
                                           std::uint32_t ms) const {
  return set ? set->WaitUntilEmpty(waited, ms) : xplat::TreeState::Empty;
}

std::vector<std::wstring> HostTrees::Names() const {
  std::vector<std::wstring> names;
  for (const auto& [hostName, entry] : trees) names.push_back(hostName);
  return names;
}

// A tree that cannot be read is kept: only an empty one may go.
std::vector<std::wstring> HostTrees::DropEnded(const HostContainer& hosts) {
  for (std::set<std::wstring>* said : {&untracked, &abandoned}) {
    for (auto host = said->begin(); host != said->end();)
      host = hosts.count(*host) != 0 ? std::next(host) : said->erase(host);
  }
  std::vector<std::wstring> dropped;
  // Both are in name order: one step through the hosts for each tree.
  auto host = hosts.begin();
  for (auto entry = trees.begin(); entry != trees.end();) {
    while (host != hosts.end() && host->first < entry->first) ++host;
    const bool hostStays = host != hosts.end() && host->first == entry->first;
    if (hostStays || State(entry->first) != xplat::TreeState::Empty) {
      ++entry;
      continue;
    }
    dropped.push_back(entry->first);
    entry = trees.erase(entry);
  }
  return dropped;
}

// The trees let go of what they no longer hold now and then, not at each
// wake: a look at every tree costs as much as there are hosts.
void HostTrees::Tend() {
  if (!enabled) return;
  set->DropPastNotices();
  const std::uint64_t now = xplat::CurrentClock().NowMs();
  if (now - lastRefreshMs < kRefreshMs) return;
  lastRefreshMs = now;
  set->Refresh(All());
}

}  // namespace zav::custody
