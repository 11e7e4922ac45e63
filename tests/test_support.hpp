// Small helpers the C++ tests share.
#pragma once

#include <omp.h>

#include <string>
#include <vector>

// Defined in builds under a sanitizer, whose shadow memory and per-thread state make memory
// figures and very large teams meaningless or slow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STOCHL1_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define STOCHL1_SANITIZED 1
#endif
#endif

// The complete lines of printed text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// Sets the default team size of this thread, which the solvers and the modules (same OpenMP
// runtime, same thread) use for their teams, and puts the previous one back afterwards.
class TeamSize {
 public:
  explicit TeamSize(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
  ~TeamSize() { omp_set_num_threads(saved_); }
  TeamSize(const TeamSize &) = delete;
  TeamSize &operator=(const TeamSize &) = delete;

 private:
  int saved_;
};

// Like TeamSize, and also keeps the runtime from shrinking teams to the machine's load.
class DefaultTeam {
 public:
  explicit DefaultTeam(int threads) : saved_(omp_get_max_threads()), dynamic_(omp_get_dynamic()) {
    omp_set_num_threads(threads);
    omp_set_dynamic(0);
  }
  ~DefaultTeam() {
    omp_set_num_threads(saved_);
    omp_set_dynamic(dynamic_);
  }
  DefaultTeam(const DefaultTeam &) = delete;
  DefaultTeam &operator=(const DefaultTeam &) = delete;

 private:
  int saved_, dynamic_;
};
