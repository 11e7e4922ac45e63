// The check that a team fits in the process before it starts, on resources given by the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "core/data/regression_data.hpp"
#include "core/threads/busy.hpp"
#include "core/threads/team_limits.hpp"
#include "test_support.hpp"

namespace {

constexpr uint64_t MB = 1024 * 1024;

core::ThreadResources roomy() {
  core::ThreadResources r;
  r.stack_bytes = 8 * MB;
  r.stack_setting = "the default thread stack size";
  r.address_space_left = uint64_t{1} << 46;
  r.largest_stack_mapping = uint64_t{16} << 30;
  r.commit_left = ~uint64_t{0};
  r.thread_slots_left = 100000;
  r.process_threads = 1;
  r.largest_team = 1;
  return r;
}

bool holds(const std::string &text, const char *part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(TeamLimits, ATeamThatFitsHasNoProblem) {
  EXPECT_EQ(core::team_size_problem(1, "opts.threads", roomy()), "");
  EXPECT_EQ(core::team_size_problem(core::kMaxTeamSize, "opts.threads", roomy()), "");
  // A team of one is the calling thread alone: nothing to create, whatever is left.
  core::ThreadResources none = roomy();
  none.address_space_left = 0;
  none.thread_slots_left = 0;
  EXPECT_EQ(core::team_size_problem(1, "OMP_NUM_THREADS", none), "");
}

TEST(TeamLimits, MoreThanTheBoundIsRefusedNamingTheSetting) {
  const std::string why = core::team_size_problem(core::kMaxTeamSize + 1, "OMP_NUM_THREADS", roomy());
  EXPECT_TRUE(holds(why, "1025")) << why;
  EXPECT_TRUE(holds(why, "at most 1024")) << why;
  EXPECT_TRUE(holds(why, "Lower OMP_NUM_THREADS")) << why;
  EXPECT_FALSE(core::team_size_problem(100000, "OMP_NUM_THREADS", roomy()).empty());
}

// A default team of one thread a processor is named as such, not as OMP_NUM_THREADS having chosen
// it, yet the message must still say that setting the variable lower is the remedy.
TEST(TeamLimits, TheDefaultSizeIsNamedByWhatTheRuntimeTookItFrom) {
  EXPECT_STREQ(core::default_team_setting(3, 2), "OMP_NUM_THREADS");
  EXPECT_STREQ(core::default_team_setting(1, 2), "OMP_NUM_THREADS");
  const std::string own = core::default_team_setting(2, 2);
  EXPECT_TRUE(holds(own, "one thread a processor")) << own;
  core::ThreadResources r = roomy();
  const std::string why = core::team_size_problem(core::kMaxTeamSize + 1, own.c_str(), r);
  EXPECT_TRUE(holds(why, "OMP_NUM_THREADS changes asks for a team of 1025")) << why;
  EXPECT_TRUE(holds(why, "Lower OMP_NUM_THREADS.")) << why;
  r.thread_slots_left = 0;
  const std::string slots = core::team_size_problem(2, own.c_str(), r);
  EXPECT_TRUE(holds(slots, "(one thread a processor, the default that OMP_NUM_THREADS changes)")) << slots;
  EXPECT_TRUE(holds(slots, "Lower OMP_NUM_THREADS.")) << slots;
}

TEST(TeamLimits, StacksBeyondTheAddressSpaceLeftAreRefused) {
  core::ThreadResources r = roomy();
  r.address_space_left = 8 * MB * 100;  // room for about 97 stacks with the headroom
  EXPECT_EQ(core::team_size_problem(90, "opts.threads", r), "");
  const std::string why = core::team_size_problem(300, "opts.threads", r);
  EXPECT_TRUE(holds(why, "299 new thread stacks of 8 MB")) << why;
  EXPECT_TRUE(holds(why, "ulimit -v")) << why;
  EXPECT_TRUE(holds(why, "Lower opts.threads")) << why;
  EXPECT_TRUE(holds(why, "OMP_STACKSIZE")) << why;
  // Strict overcommit: the commit left limits the same way.
  r = roomy();
  r.commit_left = 8 * MB * 10;
  EXPECT_TRUE(holds(core::team_size_problem(64, "opts.threads", r), "overcommit"))
      << core::team_size_problem(64, "opts.threads", r);
}

TEST(TeamLimits, ThreadsKeptFromAnEarlierTeamNeedNoNewStacks) {
  core::ThreadResources r = roomy();
  r.address_space_left = 0;
  r.largest_team = 64;
  r.process_threads = 70;  // the pool, the caller and some host threads
  EXPECT_EQ(core::team_size_problem(64, "opts.threads", r), "");
  EXPECT_FALSE(core::team_size_problem(65, "opts.threads", r).empty());
  // Host threads alone are not a pool: without an earlier team nothing is credited.
  r.largest_team = 1;
  EXPECT_FALSE(core::team_size_problem(2, "opts.threads", r).empty());
  // And a pool that has shrunk since is credited only for the threads still there.
  r.largest_team = 64;
  r.process_threads = 10;
  EXPECT_FALSE(core::team_size_problem(64, "opts.threads", r).empty());
}

TEST(TeamLimits, AStackLargerThanTheSystemWillMapIsRefusedEvenForTwoThreads) {
  core::ThreadResources r = roomy();
  r.stack_bytes = uint64_t{100000} << 30;  // OMP_STACKSIZE=100000G
  r.stack_setting = "OMP_STACKSIZE";
  const std::string why = core::team_size_problem(2, "OMP_NUM_THREADS", r);
  EXPECT_TRUE(holds(why, "Lower OMP_STACKSIZE")) << why;
}

TEST(TeamLimits, StacksTooSmallForAThreadAreRefusedEvenWhereThreadsExist) {
  core::ThreadResources r = roomy();
  r.stack_bytes = 36 * 1024;  // created, then overflowed by a greeting printed from a worker
  r.stack_setting = "OMP_STACKSIZE";
  r.largest_team = 4;
  r.process_threads = 4;  // no new thread needed: the pool's threads have the same stacks
  const std::string why = core::team_size_problem(2, "OMP_NUM_THREADS", r);
  EXPECT_TRUE(holds(why, "they are 36 KB (from OMP_STACKSIZE). Raise OMP_STACKSIZE.")) << why;
  EXPECT_EQ(core::team_size_problem(1, "OMP_NUM_THREADS", r), "");  // the calling thread alone
  r.stack_bytes = 128 * 1024;
  EXPECT_EQ(core::team_size_problem(2, "OMP_NUM_THREADS", r), "");
}

TEST(TeamLimits, AStackSizeNearTheTopOfTheRangeIsRefusedWhereMappingsAreNotBounded) {
  core::ThreadResources r = roomy();
  r.stack_bytes = ~uint64_t{0} - 4;  // OMP_STACKSIZE=-5b, as strtoul reads it
  r.stack_setting = "OMP_STACKSIZE";
  r.largest_stack_mapping = ~uint64_t{0};  // vm.overcommit_memory = 1
  const std::string why = core::team_size_problem(2, "OMP_NUM_THREADS", r);
  EXPECT_TRUE(holds(why, "Lower OMP_NUM_THREADS or the stack size")) << why;
}

TEST(TeamLimits, TheThreadCountLimitIsRespected) {
  core::ThreadResources r = roomy();
  r.thread_slots_left = 10;
  EXPECT_EQ(core::team_size_problem(11, "opts.threads", r), "");
  const std::string why = core::team_size_problem(12, "opts.threads", r);
  EXPECT_TRUE(holds(why, "ulimit -u")) << why;
}

TEST(TeamLimits, StackSizesReadLikeTheRuntimeReadsThem) {
  EXPECT_EQ(core::parse_stack_size("64"), 64u * 1024);  // no unit: kilobytes
  EXPECT_EQ(core::parse_stack_size("512K"), 512u * 1024);
  EXPECT_EQ(core::parse_stack_size(" 2 m "), 2 * MB);
  EXPECT_EQ(core::parse_stack_size("1G"), uint64_t{1} << 30);
  EXPECT_EQ(core::parse_stack_size("4096b"), 4096u);
  EXPECT_EQ(core::parse_stack_size("100000G"), uint64_t{100000} << 30);
  // strtoul's sign: "+20K" is 20 KB, "-0" zero (a size, which then does not apply), and "-5b"
  // wraps to a size no thread can have.
  EXPECT_EQ(core::parse_stack_size("+20K"), 20u * 1024);
  EXPECT_EQ(core::parse_stack_size("-0"), 0u);
  EXPECT_EQ(core::parse_stack_size("-5b"), ~uint64_t{0} - 4);
  // Invalid, so the runtime reads the next variable: no digits, another unit, more after the unit,
  // a value whose unit overflows ("-5" is 2^64 - 5 kilobytes), one beyond strtoul's range.
  for (const char *bad : {"", "K", "abc", "12X", "1 2", "20KB", "-5", "99999999999999999999G"})
    EXPECT_FALSE(core::parse_stack_size(bad).has_value()) << bad;
  EXPECT_FALSE(core::parse_stack_size(nullptr).has_value());
}

TEST(TeamLimits, AStackSizeTheRuntimeIgnoresLeavesTheDefault) {
  // Below the system's least stack the runtime keeps its default (it says "less than minimum").
  const char *const saved = std::getenv("OMP_STACKSIZE");
  const std::string kept = saved ? saved : "";
  const char *const saved_gomp = std::getenv("GOMP_STACKSIZE");
  const std::string kept_gomp = saved_gomp ? saved_gomp : "";
  // A size OMP_STACKSIZE reads as is the runtime's even where it does not apply: GOMP_STACKSIZE is
  // then not read, and the threads get the default.
  ::setenv("GOMP_STACKSIZE", "64K", 1);
  ::setenv("OMP_STACKSIZE", "8K", 1);
  const core::ThreadResources small = core::read_thread_resources();
  ::setenv("OMP_STACKSIZE", "+200K", 1);
  const core::ThreadResources taken = core::read_thread_resources();
  // An OMP_STACKSIZE that does not read as a size passes to GOMP_STACKSIZE.
  ::setenv("OMP_STACKSIZE", "200 KB", 1);
  const core::ThreadResources next = core::read_thread_resources();
  for (auto [name, value, had] : {std::tuple{"OMP_STACKSIZE", kept, saved != nullptr},
                                  std::tuple{"GOMP_STACKSIZE", kept_gomp, saved_gomp != nullptr}}) {
    if (had)
      ::setenv(name, value.c_str(), 1);
    else
      ::unsetenv(name);
  }
  EXPECT_NE(small.stack_setting, "OMP_STACKSIZE");
  EXPECT_NE(small.stack_setting, "GOMP_STACKSIZE");
  EXPECT_GE(small.stack_bytes, 16u * 1024);
  EXPECT_EQ(taken.stack_setting, "OMP_STACKSIZE");
  EXPECT_EQ(taken.stack_bytes, 200u * 1024);
  EXPECT_EQ(next.stack_setting, "GOMP_STACKSIZE");
  EXPECT_EQ(next.stack_bytes, 64u * 1024);
}

TEST(TeamLimits, ThisProcessCanBeRead) {
  const core::ThreadResources r = core::read_thread_resources();
  EXPECT_GT(r.stack_bytes, 0u);
  EXPECT_FALSE(r.stack_setting.empty());
  EXPECT_GE(r.process_threads, 1);
  EXPECT_GT(r.address_space_left, 0u);
}

// A sparse conversion's default team keeps to the processors free of other work (full rows too
// where memory lies on one node, else the whole default, which a pass's shares follow), a size
// asked for is kept, the cap holds either way, and a small problem stays on the calling thread.
TEST(ConversionTeam, TheDefaultKeepsToFreeProcessorsAndAnAskedSizeIsKept) {
  constexpr size_t kMany = size_t{1} << 20;
  constexpr bool kSparse = true;
  const DefaultTeam team(4);
  {
    const core::FreeProcessorsForTests busy(1);
    EXPECT_EQ(core::conversion_team(0, 1000, kMany, INT32_MAX, kSparse), 1);
    EXPECT_EQ(core::conversion_team(0, 1000, kMany), 4);
    EXPECT_EQ(core::full_rows_team(0, 1000, kMany), core::memory_on_one_node() ? 1 : 4);
    EXPECT_EQ(core::full_rows_team(3, 1000, kMany), 3);
    EXPECT_EQ(core::conversion_team(3, 1000, kMany, INT32_MAX, kSparse), 3);
    EXPECT_EQ(core::conversion_team(3, 1000, kMany, 2, kSparse), 2);
  }
  {
    const core::FreeProcessorsForTests idle(2);
    EXPECT_EQ(core::conversion_team(0, 1000, kMany, INT32_MAX, kSparse), 2);
    EXPECT_EQ(core::conversion_team(0, 1000, 1000, INT32_MAX, kSparse), 1);  // too small for a team
    EXPECT_EQ(core::conversion_team(0, 1, kMany, INT32_MAX, kSparse), 1);    // one row
  }
  {
    const core::FreeProcessorsForTests idle(64);
    EXPECT_EQ(core::conversion_team(0, 1000, kMany, INT32_MAX, kSparse), 4);
    EXPECT_EQ(core::conversion_team(0, 1000, kMany, 3, kSparse), 3);       // the cap on the default too
    EXPECT_EQ(core::conversion_team(0, 3, kMany, INT32_MAX, kSparse), 3);  // no more threads than rows
  }
}

// The kernel's list of nodes with memory: one node, or a range or list of several.
TEST(MemoryNodes, OneNodeIsToldFromSeveral) {
  for (const char *one : {"0\n", "1\n", "12\n", "0"}) EXPECT_TRUE(core::names_one_node(one)) << one;
  for (const char *several : {"0-1\n", "0,2\n", "0-3,5\n", "", "\n", "x\n", "-1\n"})
    EXPECT_FALSE(core::names_one_node(several)) << several;
}
