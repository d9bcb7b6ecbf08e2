// The test program's own operator new, counting every allocation. It lives in
// a file of its own so that no caller's inlined delete is compared with it.
#include <cstddef>
#include <cstdlib>
#include <new>

std::size_t allocationCount = 0;

void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
