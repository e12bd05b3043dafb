#pragma once
// The calling thread's share of the processor.

namespace xplat {

// Lets another thread or process ready to run on this processor run first:
// a process just started is not kept waiting behind the caller's next work.
void YieldToOthers();

}  // namespace xplat
