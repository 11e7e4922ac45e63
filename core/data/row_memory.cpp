#include "core/data/row_memory.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace core {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void *allocate_row_memory(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kRowMemoryMapFrom) {
    // Map one huge page more than needed and cut the ends off, so that the block starts on a
    // huge-page boundary (only aligned 2 MB ranges can be backed by huge pages).
    const std::size_t size = mapped_size(bytes);
    if (size < bytes || size + kHugePage < size) throw std::bad_alloc();
    void *raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char *const start = static_cast<char *>(raw);
    const std::size_t offset = (kHugePage - reinterpret_cast<std::size_t>(start) % kHugePage) % kHugePage;
    char *const block = start + offset;
    if (offset) munmap(start, offset);
    munmap(block + size, kHugePage - offset);
    // Only advice: where huge pages are off, the block is ordinary memory.
    madvise(block, size, MADV_HUGEPAGE);
    return block;
  }
#endif
  return ::operator new (bytes, std::align_val_t{64});
}

void release_row_memory(void *p, std::size_t bytes) noexcept {
  if (!p) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kRowMemoryMapFrom) {
    munmap(p, mapped_size(bytes));
    return;
  }
#endif
  ::operator delete (p, std::align_val_t{64});
}

}  // namespace core
