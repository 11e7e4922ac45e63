// An allocator for the large arrays that the steps reach at random (the compressed rows, the
// weights of a sparse run): a block of several megabytes is aligned to 2 MB and offered to the
// kernel for transparent huge pages (where the system has them enabled on request), so that random
// reads meet far fewer address-translation misses and a fresh block costs far fewer page faults.
// Elements are left uninitialised on construction without arguments, as the arrays are written
// in full right after they are made. The contents and every result are unchanged by it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

  static constexpr std::size_t kHugePage = std::size_t{1} << 21;
  static constexpr std::size_t kLarge = std::size_t{1} << 22;

  T *allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    void *p = nullptr;
    if (bytes >= kLarge) {
      const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
      p = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
      if (p) madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
#endif
    } else {
      p = std::malloc(bytes ? bytes : 1);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<T *>(p);
  }
  void deallocate(T *p, std::size_t) noexcept { std::free(p); }

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
