// A "tallyx" library from before the back-end had its factory: it loads,
// but has no "GetTallyxInstance". Used to test the logger's fallbacks.

#include "xplat/export.h"

extern "C" XPLAT_EXPORT int TallyxVersion() { return 1; }
