#include "xplat/scheduling.h"

#include <windows.h>

namespace xplat {

void YieldToOthers() { ::SwitchToThread(); }

}  // namespace xplat
