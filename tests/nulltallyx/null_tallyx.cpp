// A "tallyx" whose factory has no back-end to give. Used to test that the
// logger stays enabled, reads its settings and drops its lines quietly.

#include "logging/tallyx_instance.h"
#include "xplat/export.h"

extern "C" XPLAT_EXPORT TallyxInstance* GetTallyxInstance() { return nullptr; }
