#pragma once
// The library's exports: "Execute" runs one module on the caller's thread
// until it is told to stop; "ReturnAPIInterfaceVersion" names the module
// interface this library implements.

#include <cstdint>

#include "module/zav_module_interface.h"
#include "xplat/export.h"

constexpr std::int32_t kModuleInterfaceVersion = 1001;

// Creates the module with a non-throwing allocation; null when there is no memory.
using ModuleFactory = ZAVModuleInterface* (*)();

// Constructs, runs and destroys one module: 0 when its loop ended, -1 when it
// could not be created or an exception escaped it (reported on standard
// output, never thrown into the service).
std::int32_t RunModule(ModuleFactory create);

extern "C" {
XPLAT_EXPORT std::int32_t Execute();
XPLAT_EXPORT std::int32_t ReturnAPIInterfaceVersion();
}
