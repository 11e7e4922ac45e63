// Memory for the rows of a problem. A large block is mapped on its own and marked for transparent
// huge pages: its first touch then costs one fault per 2 MB instead of one per 4 KB (a fault costs
// microseconds, more under a hypervisor: `perf stat -e page-faults` on a call counts them), and rows
// drawn at random miss the address translation cache far less often. Small blocks come from
// operator new.
#pragma once

#include <cstddef>

namespace core {

// Blocks from this size on are mapped with huge pages where the system grants them.
constexpr std::size_t kRowMemoryMapFrom = std::size_t{4} << 20;

// Uninitialised memory for `bytes` bytes, aligned to 64 bytes; throws std::bad_alloc when it cannot
// be had. Released with release_row_memory(p, bytes), the same `bytes`.
void *allocate_row_memory(std::size_t bytes);
void release_row_memory(void *p, std::size_t bytes) noexcept;

}  // namespace core
