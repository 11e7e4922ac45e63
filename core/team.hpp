// OpenMP teams of a fixed size for the parallel solvers: a first team learns the size T, and every
// later team of the call must have exactly T threads.
#pragma once

#include <omp.h>

#include <cstdint>

namespace core {

// The size of a first team: of `requested` threads when positive, else of the runtime's default.
// The runtime may give fewer (a thread limit, or dynamic adjustment to the load).
inline int32_t sizing_team(int32_t requested) {
  const int n = requested > 0 ? requested : omp_get_max_threads();
  int32_t T = 1;
#pragma omp parallel num_threads(n)
  {
    if (omp_get_thread_num() == 0) T = omp_get_num_threads();
  }
  return T;
}

// Later teams must not be shrunk to the machine's load: dynamic adjustment is off while this
// lives, and the caller's setting comes back however the call ends.
class FixedTeamSize {
 public:
  FixedTeamSize() : saved_(omp_get_dynamic()) { omp_set_dynamic(0); }
  ~FixedTeamSize() { omp_set_dynamic(saved_); }
  FixedTeamSize(const FixedTeamSize &) = delete;
  FixedTeamSize &operator=(const FixedTeamSize &) = delete;

 private:
  int saved_;
};

}  // namespace core
