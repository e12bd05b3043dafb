#include "hosts/supervision/adoption.h"

#include "config/agent_config.h"
#include "hosts/host_files.h"

namespace zav::custody {
namespace {

// "-m" and the name, which the command line splits at its blanks.
bool NamesHost(const std::vector<std::wstring>& arguments, const std::wstring& hostName) {
  if (arguments.size() < 2 || arguments[0] != L"-m") return false;
  std::wstring name = arguments[1];
  for (std::size_t i = 2; i < arguments.size(); ++i) name += L" " + arguments[i];
  return name == hostName;
}

}  // namespace

// Only at a host's first start, and only with a copy it could have been
// started from.
bool Adoption::MayAdopt(const HostRecord& record) const {
  return enabled && record.started == 0 && !runs.Find(record.hostName) && NamesHostFile(record.hostName);
}

void Adoption::LookForHosts(const HostContainer& hosts) {
  candidates.clear();
  std::vector<std::wstring> names;
  for (const auto& [hostName, record] : hosts) {
    if (MayAdopt(record)) names.push_back(hostName);
  }
  const std::wstring programFolder = names.empty() ? std::wstring() : AgentConfig::GetExecutePath();
  if (programFolder.empty()) return;
  std::vector<std::wstring> images;
  for (const std::wstring& name : names) images.push_back(HostImagePath(programFolder, name));
  candidates = xplat::ProcessesRunning(images);
}

bool Adoption::Adopt(HostRecord& record) {
  if (!MayAdopt(record)) return false;
  for (const xplat::RunningProgram& running : candidates) {
    if (!NamesHost(running.arguments, record.hostName)) continue;
    xplat::ProcessHandle process = xplat::OpenProcessToSupervise(running.processId);
    if (process.HasEnded()) continue;
    record.processHandle = std::move(process);
    record.threadHandle.Close();
    record.processId = running.processId;
    record.threadId = 0;
    record.started = 1;
    logger.LogMsg(log_level::kNormal, L"ApplyHostPolicy: %ws adopted: its process %u already runs from %ws",
                  record.hostName.c_str(), record.processId, running.image.c_str());
    return true;
  }
  return false;
}

}  // namespace zav::custody
