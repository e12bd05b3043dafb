#pragma once
// Where the Linux registry store keeps a key (see registry.cpp).

#include <filesystem>
#include <string>

namespace xplat {

// The store's root as the environment names it now; empty for the default.
std::string RegistryRootSetting();
// The folder of HKEY_LOCAL_MACHINE\path.
std::filesystem::path KeyFolder(const std::wstring& path);

}  // namespace xplat
