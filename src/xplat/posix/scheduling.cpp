#include "xplat/scheduling.h"

#include <sched.h>

namespace xplat {

void YieldToOthers() { ::sched_yield(); }

}  // namespace xplat
