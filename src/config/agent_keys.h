#pragma once
// The agent's keys under HKEY_LOCAL_MACHINE, for every component that reads
// or writes them (key names compare without regard to case).

namespace agent_keys {

// The agent's identity values and "Path", its library folder.
inline constexpr wchar_t kAgent[] = L"SOFTWARE\\Corvane\\DEDedad";
// Where the module publishes the messaging-server values and "ZAVExecutePath".
inline constexpr wchar_t kConfig[] = L"SOFTWARE\\Corvane\\DEDedad\\Config";
// The module's own settings: its supervision features.
inline constexpr wchar_t kCustodex[] = L"SOFTWARE\\Corvane\\DEDedad\\Custodex";

}  // namespace agent_keys
