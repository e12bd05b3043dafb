#pragma once
// Reading the files the agent keeps (its XML files, the registry store's
// values) without ever waiting on what is not a file: a FIFO would block
// open() until a writer comes, a device never ends. Only regular files are
// read, and never more than the caller's limit.

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "xplat/posix/file_descriptor.h"

namespace xplat {

enum class RegularFileStatus { Opened, CannotOpen, NotRegularFile };

// Opens without blocking, then keeps the descriptor only for a regular file;
// `status` receives the file's fstat. errno tells why it could not be opened.
RegularFileStatus OpenRegularFile(const std::string& path, FileDescriptor& fd, struct stat& status);
// The same for a name in the folder `folderFd` refers to.
RegularFileStatus OpenRegularFileAt(int folderFd, const std::string& name, FileDescriptor& fd, struct stat& status);

// Appends what the descriptor holds, at most limit + 1 bytes, so a file that
// grew past the limit shows as longer than it. False on a read error. With
// the size the file had when it was examined (`knownSize`, not 0), reading
// stops there: what is read then matches that examination.
bool ReadUpTo(int fd, std::size_t limit, std::string& content, std::size_t knownSize = 0);

}  // namespace xplat
