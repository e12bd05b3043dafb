#include "xplat/process_limits.h"

namespace xplat {

bool RaiseOpenFileLimit() { return true; }

}  // namespace xplat
