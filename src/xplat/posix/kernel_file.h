#pragma once
// The kernel's own files (/proc, control groups): not regular files, their
// size unknown until read, so they are read as they are, to a limit.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace xplat {

std::optional<std::string> ReadKernelFile(const std::string& path);
// Writes the text in one write, as the kernel's files expect.
bool WriteKernelFile(const std::string& path, const std::string& text);

// The names of the folders in the open folder `folder`, which stays open.
std::vector<std::string> Subfolders(int folder);

// The ids of the processes /proc shows now.
std::vector<pid_t> ListProcesses();

}  // namespace xplat
