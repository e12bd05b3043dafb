#pragma once
// Where a program started on Linux goes: beside its starter, as StartProgram
// puts it, leading a process group of its own, or cloned straight into a
// control group, so that nothing it starts is ever outside it.

#include <string>

#include "xplat/process.h"

namespace xplat {

struct SpawnPlacement {
  bool leadsProcessGroup = false;
  int controlGroup = -1;  // an open control-group folder, or -1
};

bool StartPlacedProgram(const std::wstring& image, const std::wstring& arguments, const SpawnPlacement& placement,
                        StartedProcess& started);

}  // namespace xplat
