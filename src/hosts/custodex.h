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
#include "hosts/host_history.h"
#include "hosts/host_record.h"
#include "hosts/module_list_index.h"
#include "hosts/supervision_settings.h"
#include "logging/logger.h"
#include "module/zav_module.h"
#include "xplat/file_system.h"
#include "xplat/process_list.h"
#include "xplat/process_wait_set.h"

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
  const std::vector<DetachedHost>& DetachedHosts() const { return detachedHosts; }
  // The processes whose end wakes the loop (with wake on host exit).
  std::size_t WatchedProcessCount() const { return waitSet ? waitSet->WatchedCount() : 0; }
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
  bool RemoveHostImage(const std::wstring& programFolder, const std::wstring& hostName, const wchar_t* operation);
  // Keeps watching a record's process that still runs when the record goes.
  void DetachIfRunning(HostRecord& record);
  // The process of the record's host name that still runs, its own or one
  // whose record went: no second one is started meanwhile.
  std::optional<std::uint32_t> RunningProcessOf(const HostRecord& record) const;
  // Reaps the detached processes that have ended; true when one of them
  // held back a host that waits to be started.
  bool ReapDetachedHosts();
  bool IsLoadedInService(const HostRecord& record);
  void UnloadFromService(const HostRecord& record);
  bool IsRunning(const HostRecord& record, std::optional<std::uint32_t>& exitCode);
  // The wait of the loop: for events only, as by default, or also for the
  // end of a host and for a delayed start that falls due.
  bool WaitForWork();
  bool WaitForEventsOrHostExit();
  std::vector<const xplat::ProcessHandle*> WatchedProcesses() const;
  std::uint32_t NextWaitMs() const;
  // The runs of each host, and the back-off that follows from them.
  void NoteStarted(const HostRecord& record, bool adopted);
  void NoteEnded(const HostRecord& record, std::optional<std::uint32_t> exitCode);
  void NoteFailedStart(const HostRecord& record);
  bool IsBackingOff(const std::wstring& hostName) const;
  bool HostsDueToStart() const;
  void ForgetHistory(const std::wstring& hostName);
  void AnswerHostStatus(const EventData& request);
  // Takes over the host's process an earlier service left running; the
  // candidates come from one look at the system's processes per application.
  bool MayAdopt(const HostRecord& record) const;
  std::vector<xplat::RunningProgram> ProcessesToAdopt() const;
  bool AdoptRunningHost(HostRecord& record, const std::vector<xplat::RunningProgram>& candidates);
  void DrainEvents(bool& stop);

  std::unique_ptr<std::atomic<std::uint32_t>> policyLock;
  std::unique_ptr<CLogger> logger;
  std::unique_ptr<AgentConfig> config;
  HostContainer hosts;
  std::vector<DetachedHost> detachedHosts;
  SupervisionSettings settings;
  std::map<std::wstring, HostHistory> history;
  std::unique_ptr<xplat::ProcessWaitSet> waitSet;  // with wake on host exit or the back-off
  ModuleListIndex moduleIndex;
};

}  // namespace zav::custody
