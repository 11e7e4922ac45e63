#include "core/threads/team_limits.hpp"

#include <omp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace core {
namespace {

std::atomic<int64_t> g_largest_team{1};

constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();
// x86-64 and AArch64 user space with 4-level page tables: 128 TiB.
constexpr uint64_t kUserAddressSpace = uint64_t{1} << 47;
// Besides its stack, a new thread takes a guard page, thread-local storage and the runtime's own
// bookkeeping; and the call itself goes on allocating. Kept free on top of the stacks.
constexpr uint64_t kPerThreadExtra = 64 * 1024;
constexpr uint64_t kHeadroom = 16 * 1024 * 1024;
// A thread needs room for the host's thread-local storage (pthread_create fails below it, and the
// runtime then ends the process: Octave's needs about 36 KB) and for what runs on it (a greeting
// printed by the host from a worker overflowed 37 KB). Smaller stacks are refused with margin.
constexpr uint64_t kLeastThreadStack = 128 * 1024;

// A "Key:   123 kB" field of a /proc file, in bytes; 0 when absent.
uint64_t proc_field_kb(const char *path, const char *key) {
  std::ifstream in(path);
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
      return std::strtoull(line.c_str() + n + 1, nullptr, 10) * 1024;
  return 0;
}

uint64_t proc_number(const char *path, int field) {
  std::ifstream in(path);
  std::string word;
  for (int k = 0; k <= field && in >> word; ++k) {
  }
  return std::strtoull(word.c_str(), nullptr, 10);
}

uint64_t page_size() {
  const long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? static_cast<uint64_t>(p) : 4096;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > kUnlimited / a) return kUnlimited;
  return a * b;
}

std::string megabytes(uint64_t bytes) {
  char buf[64];
  if (bytes == kUnlimited) return "unlimited";
  std::snprintf(buf, sizeof buf, "%.0f MB", static_cast<double>(bytes) / 1048576.0);
  return buf;
}

}  // namespace

std::optional<uint64_t> parse_stack_size(const char *value) {
  if (!value) return std::nullopt;
  while (std::isspace(static_cast<unsigned char>(*value))) ++value;
  if (*value == '\0') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const unsigned long long n = std::strtoull(value, &end, 10);
  if (errno != 0 || end == value) return std::nullopt;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  int shift = 10;  // no unit: kilobytes
  if (*end != '\0') {
    switch (std::tolower(static_cast<unsigned char>(*end))) {
      case 'b':
        shift = 0;
        break;
      case 'k':
        break;
      case 'm':
        shift = 20;
        break;
      case 'g':
        shift = 30;
        break;
      default:
        return std::nullopt;
    }
    ++end;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') return std::nullopt;
  }
  const uint64_t v = n;
  if (((v << shift) >> shift) != v) return std::nullopt;
  return v << shift;
}

void note_team_started(int64_t threads) {
  int64_t seen = g_largest_team.load();
  while (threads > seen && !g_largest_team.compare_exchange_weak(seen, threads)) {
  }
}

ThreadResources read_thread_resources() {
  ThreadResources r;
  r.largest_team = g_largest_team.load();
  // The runtime reads these once, at start-up; they are still in this process's environment.
  // The first of them that reads as a size is the runtime's, even where pthreads refuses it (below
  // the least stack): then the runtime keeps its default, and the other is not read.
  for (const char *name : {"OMP_STACKSIZE", "GOMP_STACKSIZE"}) {
    const std::optional<uint64_t> s = parse_stack_size(std::getenv(name));
    if (!s) continue;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) == 0) {
      if (pthread_attr_setstacksize(&attr, static_cast<size_t>(*s)) == 0) {
        r.stack_bytes = *s;
        r.stack_setting = name;
      }
      pthread_attr_destroy(&attr);
    }
    break;
  }
  if (r.stack_bytes == 0) {
    pthread_attr_t attr;
    size_t size = 8u << 20;
    if (pthread_getattr_default_np(&attr) == 0) {
      pthread_attr_getstacksize(&attr, &size);
      pthread_attr_destroy(&attr);
    }
    r.stack_bytes = size;
    r.stack_setting = "the default thread stack size, set by ulimit -s";
  }

  const uint64_t mapped = proc_number("/proc/self/statm", 0) * page_size();
  uint64_t space = kUserAddressSpace > mapped ? kUserAddressSpace - mapped : 0;
  struct rlimit as;
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
    space = std::min<uint64_t>(space, as.rlim_cur > mapped ? as.rlim_cur - mapped : 0);
  r.address_space_left = space;

  // Overcommit: in the heuristic mode (0) a single mapping larger than RAM plus swap is refused; in
  // the strict mode (2) all commitments together must stay under CommitLimit.
  const uint64_t overcommit = proc_number("/proc/sys/vm/overcommit_memory", 0);
  r.largest_stack_mapping = kUnlimited;
  r.commit_left = kUnlimited;
  if (overcommit == 0) {
    const uint64_t total = proc_field_kb("/proc/meminfo", "MemTotal") + proc_field_kb("/proc/meminfo", "SwapTotal");
    if (total > 0) r.largest_stack_mapping = total;
  } else if (overcommit == 2) {
    const uint64_t limit = proc_field_kb("/proc/meminfo", "CommitLimit");
    const uint64_t used = proc_field_kb("/proc/meminfo", "Committed_AS");
    r.commit_left = limit > used ? limit - used : 0;
  }

  r.process_threads = std::max<int64_t>(1, static_cast<int64_t>(proc_field_kb("/proc/self/status", "Threads") / 1024));
  uint64_t slots = kUnlimited;
  struct rlimit nproc;
  // RLIMIT_NPROC counts every process and thread of the user; this process's are a lower bound.
  if (geteuid() != 0 && getrlimit(RLIMIT_NPROC, &nproc) == 0 && nproc.rlim_cur != RLIM_INFINITY) {
    const uint64_t have = static_cast<uint64_t>(r.process_threads);
    slots = nproc.rlim_cur > have ? nproc.rlim_cur - have : 0;
  }
  // /proc/loadavg's fourth field is "running/total" scheduling entities of the whole system.
  std::ifstream loadavg("/proc/loadavg");
  std::string a, b, c, running_total;
  const uint64_t threads_max = proc_number("/proc/sys/kernel/threads-max", 0);
  if (loadavg >> a >> b >> c >> running_total && threads_max > 0) {
    const size_t slash = running_total.find('/');
    const uint64_t total =
        slash == std::string::npos ? 0 : std::strtoull(running_total.c_str() + slash + 1, nullptr, 10);
    slots = std::min(slots, threads_max > total ? threads_max - total : 0);
  }
  r.thread_slots_left = slots;
  return r;
}

const char *default_team_setting(int max_threads, int processors) {
  return max_threads == processors ? "one thread a processor, the default that OMP_NUM_THREADS changes"
                                   : "OMP_NUM_THREADS";
}

// Asked of the runtime, not of the environment: it read OMP_NUM_THREADS when it was loaded (with
// Octave itself, which links it), and a setenv in the session since changes nothing.
const char *default_team_setting() {
  return default_team_setting(omp_get_max_threads(), omp_get_num_procs());
}

std::string team_size_problem(int64_t threads, const char *setting, const ThreadResources &r) {
  std::ostringstream why;
  // The default size is lowered by setting OMP_NUM_THREADS, whether or not it is set now.
  const std::string lower = std::strstr(setting, "OMP_NUM_THREADS") ? "OMP_NUM_THREADS" : setting;
  if (threads > kMaxTeamSize) {
    why << setting << " asks for a team of " << threads << " threads; at most " << kMaxTeamSize
        << " are supported. Lower " << lower << ".";
    return why.str();
  }
  // Also for threads the runtime kept from earlier teams: they have the same stacks.
  if (threads > 1 && r.stack_bytes < kLeastThreadStack) {
    why << "a team of " << threads << " threads (" << setting << ") needs thread stacks of at least "
        << kLeastThreadStack / 1024 << " KB; they are " << (r.stack_bytes + 1023) / 1024 << " KB (from "
        << r.stack_setting << "). Raise " << r.stack_setting << ".";
    return why.str();
  }
  // The calling thread is thread 0; idle threads the runtime keeps from earlier teams are reused.
  const int64_t reusable = std::max<int64_t>(0, std::min(r.largest_team, r.process_threads) - 1);
  const uint64_t more = static_cast<uint64_t>(std::max<int64_t>(0, threads - 1 - reusable));
  if (more == 0) return std::string();
  const uint64_t stacks = saturating_mul(more, r.stack_bytes);
  if (r.stack_bytes > r.largest_stack_mapping) {
    why << "a team of " << threads << " threads needs thread stacks of " << megabytes(r.stack_bytes) << " each (from "
        << r.stack_setting << "), more than the system will map at once (" << megabytes(r.largest_stack_mapping)
        << ", its memory and swap). Lower " << r.stack_setting << ".";
    return why.str();
  }
  const uint64_t each = r.stack_bytes > kUnlimited - kPerThreadExtra ? kUnlimited : r.stack_bytes + kPerThreadExtra;
  const uint64_t need = saturating_mul(more, each);
  const uint64_t room = std::min(r.address_space_left, r.commit_left);
  if (need == kUnlimited || need + kHeadroom > room) {
    why << "a team of " << threads << " threads (" << setting << ") needs " << more
        << (more == 1 ? " new thread stack of " : " new thread stacks of ") << megabytes(r.stack_bytes) << " (from "
        << r.stack_setting << "), " << megabytes(stacks) << " in all, but only " << megabytes(room)
        << (room == r.address_space_left ? " of address space is left under the process limit (ulimit -v)"
                                         : " can still be committed (vm.overcommit_memory = 2)")
        << ". Lower " << lower << " or the stack size (OMP_STACKSIZE), or raise the limit.";
    return why.str();
  }
  if (more > r.thread_slots_left) {
    why << "a team of " << threads << " threads (" << setting << ") needs " << more << " new threads, but only "
        << r.thread_slots_left << " more may be created (ulimit -u, kernel.threads-max). Lower " << lower << ".";
    return why.str();
  }
  return std::string();
}

}  // namespace core
