#include "module/entry_points.h"

#include <cstdio>
#include <exception>
#include <memory>

std::int32_t RunModule(ModuleFactory create) {
  try {
    std::unique_ptr<ZAVModuleInterface> module(create());
    if (!module) return -1;
    module->Execute();
    return 0;
  } catch (const std::exception& error) {
    std::printf("Module stopped by an exception: %s\n", error.what());
  } catch (...) {
    std::printf("Module stopped by an unknown exception.\n");
  }
  return -1;
}
