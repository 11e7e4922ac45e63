// Whether this process can start an OpenMP team of a given size. A runtime that cannot create a
// thread ends the whole process (libgomp prints "Thread creation failed" and exits), and a huge
// team overflows the calling thread's stack inside the runtime; so every team is checked here
// first, and one that will not fit becomes an error that says what to lower.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace core {

// The largest team a module starts, whether the size comes from opts.threads or from the OpenMP
// default (OMP_NUM_THREADS).
constexpr int64_t kMaxTeamSize = 1024;

// What limits the number of threads, read from the process and the system.
struct ThreadResources {
  uint64_t stack_bytes = 0;            // per thread: OMP_STACKSIZE, else GOMP_STACKSIZE, else pthread's default
  std::string stack_setting;           // where stack_bytes came from, for messages
  uint64_t address_space_left = 0;     // under RLIMIT_AS and the user address space
  uint64_t largest_stack_mapping = 0;  // what the kernel's overcommit rule lets one stack mapping be
  uint64_t commit_left = 0;            // under strict overcommit (mode 2), else unlimited
  uint64_t thread_slots_left = 0;      // under RLIMIT_NPROC (not for root) and kernel.threads-max
  int64_t process_threads = 1;         // threads this process has now (idle pool threads included)
  int64_t largest_team = 1;            // the largest team this module has started (its pool may hold it)
};

ThreadResources read_thread_resources();

// Records that a team of `threads` started in this process.
void note_team_started(int64_t threads);

// The stack size an OMP_STACKSIZE value asks for, read as the runtime reads it ("512K", "2 M",
// "+64" = 64 KiB, "4096b"; strtoul's digits, a sign included); nothing where the runtime finds the
// value invalid and goes on to the next variable. A value it takes may still not apply (below the
// system's least stack), and then it keeps its default.
std::optional<uint64_t> parse_stack_size(const char *value);

// What sets a team's size where the call asks for none, for messages: "OMP_NUM_THREADS" where the
// runtime's default differs from one thread a processor, else that default (which the variable
// changes). The second form is for a runtime's default and processor count given.
const char *default_team_setting();
const char *default_team_setting(int max_threads, int processors);

// Why a team of `threads` cannot start, as a message naming `setting` (what chose the size, such
// as "opts.threads" or "OMP_NUM_THREADS") and what to lower; empty when it can. The runtime keeps
// its threads between teams: up to the largest team started before, threads the process still
// has are counted as existing stacks (the host's own threads are not pool threads, hence both).
std::string team_size_problem(int64_t threads, const char *setting, const ThreadResources &r);
inline std::string team_size_problem(int64_t threads, const char *setting) {
  return team_size_problem(threads, setting, read_thread_resources());
}

}  // namespace core
