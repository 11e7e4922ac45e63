// OpenMP teams of a fixed size for the parallel solvers: a first team learns the size T, and every
// later team of the call must have exactly T threads.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/threads/fork_copy.hpp"
#include "core/threads/team_limits.hpp"

namespace core {

// Teams must not be shrunk to the machine's load: dynamic adjustment is off while this lives
// (from before the sizing team on), and the caller's setting comes back however the call ends.
class FixedTeamSize {
 public:
  FixedTeamSize() : saved_(omp_get_dynamic()) { omp_set_dynamic(0); }
  ~FixedTeamSize() { omp_set_dynamic(saved_); }
  FixedTeamSize(const FixedTeamSize &) = delete;
  FixedTeamSize &operator=(const FixedTeamSize &) = delete;

 private:
  int saved_;
};

// The size a team asked for `asked` threads can get from the runtime here: its thread limit and
// the nesting levels it allows cap it, and a copy made by fork gets one thread.
inline int64_t team_size_granted(int64_t asked) {
  if (omp_get_active_level() >= omp_get_max_active_levels() || (asked > 1 && fork_copy())) return 1;
  return std::max<int64_t>(1, std::min<int64_t>(asked, omp_get_thread_limit()));
}

// The outcome of the first team of a call: the one record of a team's size every solver and the
// MPI program use.
struct TeamOutcome {
  int32_t threads = 1;  // T, the size the first team had (1 for a run that starts none); 0 when it could not start
  int32_t asked = 0;    // what the call asked for: opts.threads, or the runtime's default size (0: no team)
  std::string problem;  // why the team could not start (see team_size_problem); empty when it did
  bool ok() const { return problem.empty(); }
};

// Starts the first team: of `requested` threads when positive (opts.threads), else of the
// runtime's default size, after checking that the process can create it. Call with a
// FixedTeamSize alive. The runtime may still give fewer threads (a thread limit, nesting).
// `named_by` overrides what a problem message names as the source of the size.
inline TeamOutcome sizing_team(int32_t requested, const char *named_by = nullptr) {
  TeamOutcome s;
  const int64_t asked = requested > 0 ? requested : omp_get_max_threads();
  s.asked = static_cast<int32_t>(std::min<int64_t>(asked, INT32_MAX));
  const char *const setting = named_by ? named_by : (requested > 0 ? "opts.threads" : default_team_setting());
  const int64_t granted = team_size_granted(asked);
  s.problem = team_size_problem(granted, setting);
  if (!s.ok()) {
    s.threads = 0;
    return s;
  }
  const int team = static_cast<int>(granted);
  int32_t T = 1;
#pragma omp parallel num_threads(team)
  {
    if (omp_get_thread_num() == 0) T = omp_get_num_threads();
  }
  s.threads = T;
  note_team_started(T);
  return s;
}

// The size T of the team sizing_team would start, learnt without starting it where the runtime's
// answer is known: outside every parallel region and with no thread limit, a runtime with dynamic
// adjustment off gives the size asked for (1 where it allows no active level). Elsewhere it starts
// the team. For a call whose result depends on T but that works on fewer threads: a team started
// only to be counted leaves its idle workers spinning for their next region (tens of milliseconds
// on a virtual machine) on the processors the call's own thread needs, and kinkstep method 1 on
// one thread beside a CPU-bound job took twice as long. Call with a FixedTeamSize alive.
inline TeamOutcome team_size_unstarted(int32_t requested) {
  const int64_t asked = requested > 0 ? requested : omp_get_max_threads();
  if (omp_get_level() != 0 || omp_get_thread_limit() != INT32_MAX) return sizing_team(requested);
  TeamOutcome s;
  s.asked = static_cast<int32_t>(std::min<int64_t>(asked, INT32_MAX));
  const int64_t granted = team_size_granted(asked);
  s.problem = team_size_problem(granted, requested > 0 ? "opts.threads" : default_team_setting());
  s.threads = s.ok() ? static_cast<int32_t>(granted) : 0;
  return s;
}

// The first team of a call that works on at most `free` threads (the processors free of other
// work): learnt without a team where fewer are free than the team asked for, else started.
inline TeamOutcome sizing_team_for(int32_t requested, int32_t free) {
  const int64_t wanted = requested > 0 ? requested : omp_get_max_threads();
  return free < wanted ? team_size_unstarted(requested) : sizing_team(requested);
}

}  // namespace core
