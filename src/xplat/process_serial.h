#pragma once
// What tells process handles apart inside the platform layer.

#include <cstdint>

namespace xplat {

// Never the same for two handles in one process's life, as descriptor and
// handle values are.
std::uint64_t NextProcessSerial();

}  // namespace xplat
