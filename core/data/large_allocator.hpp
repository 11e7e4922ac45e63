// An allocator for the large arrays of a run (the dense rows, the compressed rows, the weights of
// a sparse run): blocks of 4 MB and more come from core/row_memory, mapped on their own with
// transparent huge pages, so that random reads meet far fewer address-translation misses and a
// fresh block costs far fewer page faults. Elements are left uninitialised on construction
// without arguments, as the arrays are written in full right after they are made (zeroing them
// first would be one more pass over fresh memory). The contents and every result are unchanged
// by it.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "core/data/row_memory.hpp"

namespace core {

template <typename T>
struct LargeArrayAllocator {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = LargeArrayAllocator<U>;
  };
  LargeArrayAllocator() = default;
  template <typename U>
  LargeArrayAllocator(const LargeArrayAllocator<U> &) {}

  T *allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T *>(allocate_row_memory(n * sizeof(T)));
  }
  void deallocate(T *p, std::size_t n) noexcept { release_row_memory(p, n * sizeof(T)); }

  template <typename U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const LargeArrayAllocator<U> &) const {
    return true;
  }
  template <typename U>
  bool operator!=(const LargeArrayAllocator<U> &) const {
    return false;
  }
};

}  // namespace core
