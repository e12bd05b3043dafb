#pragma once

#include <atomic>

#include "xplat/event_signal.h"
#include "xplat/posix/file_descriptor.h"

namespace xplat {

// An eventfd: Set adds to its count, a wait that finds it readable reads the
// count back to zero, so any number of Sets release one wait, as with an
// automatic-reset event. Being a descriptor, it can be waited on together
// with the pidfds of processes.
class PosixEventSignal final : public EventSignal {
 public:
  // The eventfd is made before the signal, with its error when it could not be.
  PosixEventSignal(std::wstring name, FileDescriptor eventFd, ErrorCode creationError);
  void Reset() override;
  bool Set() override;
  bool Wait(std::uint32_t ms) override;

  int Descriptor() const { return fd.Get(); }
  // Takes a pending Set: true when there was one.
  bool Consume();

 private:
  FileDescriptor fd;                 // invalid when creation failed
  std::atomic<bool> pending{false};  // set and not yet taken
};

}  // namespace xplat
