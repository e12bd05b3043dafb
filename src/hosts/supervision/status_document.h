#pragma once
// The host status the module answers over the broker (with the status
// setting on): a "ZAV.Service.QueryHostStatus" record, whose Parameter names
// one host or is empty for all, is answered with one
// "ZAV.Service.HostStatus" record whose Data is a UTF-8 XML document in the
// policy's vocabulary:
//
//   <qvhosts>
//     <host name="Alpha" state="running" pid="4711" started="2026-12-07T08:00:47.123Z"
//           restartsLastHour="2"/>
//     <host name="Beta" state="backing-off" pid="4712" started="..." ended="..."
//           exitCode="3" restartsLastHour="5" nextStart="..."/>
//   </qvhosts>
//
// With the tree setting, a host that has a process tree also shows
//   processes="4711 4713 4714" leftOver="4713" cpuUserMs="120" cpuKernelMs="30" peakMemoryKB="8240"
// its tree's processes running now, those of them that outlived an earlier
// run of the host, and the tree's accounting, each only where the system
// tells it truly.
//
// state is "running", "ended", "backing-off" or "not-started"; attributes
// without a value are left out, and exitCode is "unknown" for an ended host
// whose code cannot be read; reason says why it ended, as the system tells;
// crashLooping="true" marks a host that keeps ending at once. A request that carries data is refused: the
// answer is <qvhosts refused="..."/> and nothing else.

#include <functional>
#include <optional>
#include <string>

#include "hosts/host_record.h"
#include "hosts/supervision/host_runs.h"
#include "hosts/supervision/host_trees.h"

namespace zav::custody {

// A host's tree figures, none for a host without a tree.
using TreeFiguresOf = std::function<std::optional<TreeFigures>(const std::wstring& hostName)>;

// The status of the host named, or of every host for an empty name; the
// trees' figures when they are given.
// With host events, the root tells how many records the broker refused;
// with trees left by an ended service that no host claims, how many.
std::string HostStatusDocument(const HostContainer& hosts, const HostRuns& runs, const TreeFiguresOf& treeFigures,
                               const std::wstring& hostName,
                               const std::optional<std::uint64_t>& eventsDropped = std::nullopt,
                               std::size_t unclaimedTrees = 0);
std::string RefusedStatusDocument(const wchar_t* reason);

}  // namespace zav::custody
