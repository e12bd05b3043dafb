#pragma once
// The host manager: runs selected agent modules outside the service, each in
// a host process of its own (a per-host copy of qvhost.exe), from the host
// policy that arrives through the event broker. It starts hosts, restarts
// those that end, removes a host on request and winds down for an upgrade.
// All of its work happens on the one thread that runs Execute.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/agent_config.h"
#include "config/name_equality.h"
#include "hosts/host_record.h"
#include "hosts/module_list_index.h"
#include "hosts/supervision/adoption.h"
#include "hosts/supervision/detached_hosts.h"
#include "hosts/supervision/host_ending.h"
#include "hosts/supervision/host_events.h"
#include "hosts/supervision/host_runs.h"
#include "hosts/supervision/host_trees.h"
#include "hosts/supervision/host_wait.h"
#include "hosts/supervision/settings.h"
#include "logging/logger.h"
#include "module/zav_module.h"
#include "xplat/file_system.h"

namespace zav::custody {

class Custodex : public ZAVModule {
 public:
  Custodex();
  ~Custodex() override;

  // The event loop: returns on "ZAV.Service.TerminateThread" or an upgrade.
  void Execute() override;

  // Host registry.
  bool Add(HostRecord& record);
  void Delete(const std::wstring& hostName);

  // Host policy document: true only for a segment that does not parse.
  bool ParseData(const EventData* event);
  // Module list check: fills the record's module fields for its hostName.
  bool LoadHostModulesFromConfig(HostRecord& record);

  // Host process launcher: true when the process was created.
  bool StartProcess(const std::wstring& hostName);
  // Starts every host not yet started: 1 when a start failed, else 0.
  std::int32_t ApplyHostPolicy();
  // Supervision pass: false when a started host was found ended.
  bool CheckThatHostIsStillRunning();

  HostContainer& Hosts() { return hosts; }
  const std::vector<DetachedHost>& DetachedProcesses() const { return detached.All(); }
  // The processes whose end wakes the loop (with wake on host exit).
  std::size_t WatchedProcessCount() const { return hostWait ? hostWait->WatchedCount() : 0; }
  // For tests: the hosts whose runs the loop has looked up so far, in its passes.
  std::uint64_t HostsLookedAt() const { return runs.Looks(); }
  std::atomic<std::uint32_t>* PolicyLock() { return policyLock.get(); }

 private:
  bool RegisterEvents();
  void UnregisterEvents();
  bool RequestPolicy(std::uint32_t timeoutMs);
  void Dispatch(const EventData& record, bool& stop);
  void DeleteHost(const std::wstring& hostName);
  void WindDownForUpgrade();
  bool ReadPolicy(const std::string& segment);
  void LogRefusal(const std::wstring& path, xplat::ReadRefusal refusal);
  bool FindHostModule(const std::shared_ptr<const XmlFile>& file, const pugi::xml_node& section, HostRecord& record);
  bool LaunchHost(const std::wstring& hostName);
  bool CreateHostProcess(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments);
  bool RefreshHostImage(const std::wstring& sourceImage, const std::wstring& hostImage);
  // False when nothing was unlinked: a name whose copy must stay or cannot
  // be named, or an unknown program folder (logged for `operation`).
  bool RemoveHostImage(const ProgramFolder& programFolder, const std::wstring& hostName, const wchar_t* operation);
  // Says why no program folder is known (a read that failed, with the
  // system's error, or a value missing or unsuitable) and what is omitted.
  void LogNoProgramFolder(const ProgramFolder& folder, const wchar_t* operation, const std::wstring& omitted);
  // Reaps the processes of hosts whose records went and drops their empty
  // trees: the copies of those no longer in the registry are deleted as
  // nothing of them runs. The hosts whose processes or trees ended.
  std::vector<std::wstring> ReapEndedHostsAndDeleteTheirCopies();
  bool IsLoadedInService(const HostRecord& record);
  void UnloadFromService(const HostRecord& record);
  // The pass when only the hosts whose end woke the loop are looked at, or
  // the walk over every host; false when a started host was found ended.
  bool RestartEndedHosts(const std::vector<std::wstring>& ended);
  bool WalkEveryHost(const std::vector<std::wstring>& woken);
  bool CheckHost(HostRecord& record);
  // Whether the started host's process has ended; its end is then noted.
  bool NoteEndIfEnded(HostRecord& record);
  // The lines of a read of the host's exit, each with the error the query
  // left: the query's answer, and that the host does not run.
  void SayExitRead(const HostRecord& record, const ExitRead& exit);
  void SayNotRunning(const HostRecord& record, const ExitRead& exit);
  // Starts the host unless it runs, waits to start or runs on from before:
  // false when its start failed.
  bool StartHost(HostRecord& record, Adoption::Candidates& adoptable);
  // Notes the end of the record's process, its reason and what of its tree
  // runs on (none: told later in the pass), says so and, with the back-off,
  // when it starts again; the events it brings are held until the restart
  // is under way.
  void NoteEnded(const HostRecord& record, std::optional<std::uint32_t> exitCode,
                 const std::optional<std::vector<std::uint32_t>>& leftOver);
  // Crash loops are said where someone may ask: with the status or the events.
  bool SaysCrashLoops() const { return settings.hostStatus || events.Enabled(); }
  // The wait of the loop: for events only, as by default, or also for the
  // end of a host and for a delayed start that falls due.
  bool WaitForWork();
  void AnswerHostStatus(const EventData& request);
  // Posts a document once, as "ZAV.Service." + name: false when refused.
  bool PostDocument(const wchar_t* name, const std::wstring& parameter, std::string document);
  void DrainEvents(bool& stop);

  // Built in this order and destroyed in the reverse one: the host map
  // goes last, its records closing their handles while the hosts run on.
  HostContainer hosts;
  std::unique_ptr<CLogger> logger;
  std::unique_ptr<AgentConfig> config;
  std::unique_ptr<std::atomic<std::uint32_t>> policyLock;
  ModuleListIndex moduleIndex;
  // Supervision beyond the default, each feature owning its state; they go
  // first, so nothing stays watched for a handle that closes.
  SupervisionSettings settings;
  HostRuns runs;
  DetachedHosts detached;
  Adoption adoption;
  HostTrees trees;
  HostEvents events;
  HostEnding ending;
  std::unique_ptr<HostWait> hostWait;  // with wake on host exit, or where runs are timed
};

}  // namespace zav::custody
