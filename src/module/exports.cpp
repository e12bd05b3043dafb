#include <new>

#include "module/entry_points.h"
#include "module/zav_module.h"

namespace {

ZAVModuleInterface* CreateModule() { return new (std::nothrow) ZAVModule(L"Custodex"); }

}  // namespace

extern "C" {

std::int32_t Execute() { return RunModule(&CreateModule); }

std::int32_t ReturnAPIInterfaceVersion() { return kModuleInterfaceVersion; }
}
