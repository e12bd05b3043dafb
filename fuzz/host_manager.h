#pragma once
// What the host manager's fuzz targets share: one Custodex for the whole run,
// on a machine of its own (registry store, ProgramData and log file in a
// fresh temporary folder, removed when the program ends), with its logger
// silenced so that an input costs only the reading it exercises.

#include <string>

#include "hosts/custodex.h"

namespace fuzz_support {

// Made on first use, before anything else reads the registry or the machine root.
zav::custody::Custodex& HostManager();

// Replaces the module list ZAVConfig.xml where the agent's configuration looks for it.
void WriteModuleList(const std::string& bytes);

// A module file present beside the fuzz program, as a module list names it.
std::string PresentModuleFile();

}  // namespace fuzz_support
