#include "hosts/supervision/adoption.h"

#include <algorithm>

#include "config/agent_config.h"
#include "hosts/host_files.h"

namespace zav::custody {

bool IsProcessOfHost(const xplat::RunningProgram& program, const std::wstring& hostName, const std::wstring& hostImage,
                     const std::wstring& sourceImage) {
  const std::vector<std::wstring>& arguments = program.arguments;
  if (arguments.size() < 2 || arguments[0] != L"-m") return false;
  std::wstring name = arguments[1];
  for (std::size_t i = 2; i < arguments.size(); ++i) name += L" " + arguments[i];
  return name == hostName && (program.image == hostImage || program.image == sourceImage);
}

bool Adoption::MayAdopt(const HostRecord& record) const {
  return enabled && record.started == 0 && lookedFor.count(record.hostName) == 0 && NamesHostFile(record.hostName);
}

Adoption::Candidates Adoption::LookForHosts(const HostContainer& hosts) {
  Candidates candidates;
  if (!enabled) return candidates;  // every application asks: no walk of the hosts when off
  for (const auto& [hostName, record] : hosts) {
    if (MayAdopt(record)) candidates.hosts.insert(hostName);
  }
  if (candidates.hosts.empty()) return candidates;
  lookedFor.insert(candidates.hosts.begin(), candidates.hosts.end());
  candidates.programFolder = AgentConfig::GetExecutePath();
  if (candidates.programFolder.empty()) return candidates;
  std::vector<std::wstring> images{SourceImagePath(candidates.programFolder)};
  for (const std::wstring& hostName : candidates.hosts)
    images.push_back(HostImagePath(candidates.programFolder, hostName));
  candidates.programs = xplat::OwnProcessesRunning(images);
  return candidates;
}

bool Adoption::Adopt(HostRecord& record, Candidates& candidates) {
  if (candidates.hosts.count(record.hostName) == 0) return false;
  const std::wstring hostImage = HostImagePath(candidates.programFolder, record.hostName);
  const std::wstring sourceImage = SourceImagePath(candidates.programFolder);
  const auto found = std::find_if(candidates.programs.begin(), candidates.programs.end(), [&](const auto& program) {
    return IsProcessOfHost(program, record.hostName, hostImage, sourceImage) && !program.process.HasEnded();
  });
  if (found == candidates.programs.end()) return false;
  record.processHandle = std::move(found->process);
  record.threadHandle.Close();
  record.processId = found->processId;
  record.threadId = 0;
  record.started = 1;
  logger.LogMsg(log_level::kNormal, L"ApplyHostPolicy: %ws adopted: its process %u already runs from %ws",
                record.hostName.c_str(), record.processId, found->image.c_str());
  candidates.programs.erase(found);
  return true;
}

}  // namespace zav::custody
