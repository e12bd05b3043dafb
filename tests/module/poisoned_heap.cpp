// Array allocations of this test program come filled with a pattern and
// with slack behind them: code that reads the byte past a buffer it did not
// terminate then sees the pattern, not whatever the heap held, so a missing
// terminator fails a plain build's test and not only a sanitizer's.

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr std::size_t kSlack = 16;
constexpr unsigned char kPattern = 0xAB;
}  // namespace

void* operator new[](std::size_t size) {
  void* block = std::malloc(size + kSlack);
  if (!block) throw std::bad_alloc();
  std::memset(block, kPattern, size + kSlack);
  return block;
}

void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
