#include <new>

#include "hosts/custodex.h"
#include "module/entry_points.h"

namespace {

ZAVModuleInterface* CreateModule() { return new (std::nothrow) zav::custody::Custodex(); }

}  // namespace

extern "C" {

std::int32_t Execute() { return RunModule(&CreateModule); }

std::int32_t ReturnAPIInterfaceVersion() { return kModuleInterfaceVersion; }
}
