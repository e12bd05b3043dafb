#pragma once
// Where a program started on Linux goes: beside its starter, as StartProgram
// puts it, or in a session and process group of its own, or cloned straight
// into a control group in a session of its own, so that nothing it starts
// is ever outside the group and no terminal can stop it.

#include <string>

#include "xplat/process.h"

namespace xplat {

struct SpawnPlacement {
  bool leadsSession = false;
  int controlGroup = -1;  // an open control-group folder, or -1
};

// As CloneOutcome; errno says why a start did not happen.
enum class PlacedStart { Started, GroupGone, Refused, GroupRefused, TimedOut, Failed };

PlacedStart StartPlacedProgram(const std::wstring& image, const std::wstring& arguments,
                               const SpawnPlacement& placement, StartedProcess& started);

}  // namespace xplat
