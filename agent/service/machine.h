#pragma once
// What the agent's installer leaves on a machine, as far as the module needs
// it: the agent's registry values, the module list ZAVConfig.xml, and
// qvhost.exe and the hosted module in the program folder.

#include <string>
#include <vector>

namespace service {

inline constexpr wchar_t kSampleModuleName[] = L"ZAVSample";

// The sample module's file name on this platform (ZAVSample.dll, libZAVSample.so).
std::wstring SampleModuleFileName();

// Linux: makes root the machine for this process and everything it starts
// (CUSTODEX_MACHINE_ROOT=root, CUSTODEX_REGISTRY_ROOT=root/registry).
bool UseMachineRoot(const std::wstring& root);

// "Path" (the program folder) and "Version" of the agent's key, and the
// "Config" key beneath it, where the module publishes its settings.
bool RegisterAgent(const std::wstring& programFolder);

// The module's supervision settings under "SOFTWARE\Corvane\DEDedad\Custodex":
// every feature on (1) or off (0).
bool SetSupervisionFeatures(bool on);

// ZAVConfig.xml at the agent's persist folder: the server element and the
// sample module under each of the hosts.
bool WriteModuleList(const std::vector<std::wstring>& hosts);

// Says what is missing from the program folder; true when nothing is.
bool CheckProgramFolder(const std::wstring& programFolder);

}  // namespace service
