// A copy made by fork (Octave's fork) of a process whose OpenMP runtime has started a team keeps the
// runtime's record of the worker threads but not the threads. Every module must still answer there,
// on one thread, with the bits a one-thread call gives.
#include <omp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "module_call.hpp"

namespace {

constexpr size_t kN = 3000, kD = 40;

std::vector<double> features() {
  std::vector<double> X(kN * kD);
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 1.0);
  return X;
}
std::vector<double> labels() {
  std::vector<double> y(kN);
  for (size_t i = 0; i < kN; ++i) y[i] = std::cos(static_cast<double>(i));
  return y;
}

mexhost::ArrayPtr threads_option(double threads) {
  mexhost::ArrayPtr opts = mexhost::make_struct({"threads", "seed"});
  mxSetField(opts.get(), 0, "threads", mxCreateDoubleScalar(threads));
  mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(7));
  return opts;
}

// kinkstep method 1 or splitavg asking for a team of `threads`, on X full or sparse.
mexhost::CallResult team_call(const char *name, bool sparse, double threads) {
  Inputs in;
  const std::vector<double> X = features();
  in.add(sparse ? mexhost::make_sparse(kN, kD, X) : mexhost::make_double(kN, kD, X));
  in.add(mexhost::make_double(kN, 1, labels()));
  if (std::string(name) == "kinkstep") in.add(1e-3).add(1e-4).add(200).add(1).add(0);
  if (std::string(name) == "splitavg") in.add(1e-3).add(1e-4).add(0);
  in.add(threads_option(threads));
  return loaded_module(name).call(1, in.pointers());
}

// A team of two in this process, so that the runtime holds worker threads at the next fork:
// teamprobe starts the default team whatever the load.
void start_a_team() {
  const int saved = omp_get_max_threads();
  omp_set_num_threads(2);
  const mexhost::CallResult r = loaded_module("teamprobe").call(0, {});
  omp_set_num_threads(saved);
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 3u) << r.printed;
}

// A copy that outlives its test (one that hangs while its parent was ended) ends within two minutes.
void bound_this_copy() {
  alarm(120);
}

bool has_warning(const mexhost::CallResult &r, const std::string &id) {
  for (const auto &w : r.warnings)
    if (w.id == id) return true;
  return false;
}

// What the child finds, as its exit status: 0 when every call answered as it should.
int calls_in_child(const std::vector<std::vector<double>> &one_thread) {
  int k = 0, status = 0;
  for (const char *name : {"kinkstep", "splitavg"})
    for (bool sparse : {false, true}) {
      const mexhost::CallResult r = team_call(name, sparse, 2);
      ++k;
      if (r.failed || !has_warning(r, std::string(name) + ":threadsReduced")) status |= 1;
      if (!r.failed && mexhost::values(r.output()) != one_thread[static_cast<size_t>(k - 1)]) status |= 2;
    }
  // driftwalk large enough for its default team, and teamprobe's default team.
  Inputs in;
  in.add(mexhost::make_double(kN, kD, features())).add(mexhost::make_double(kN, 1, labels()));
  in.add(1e-4).add(10).add(-0.55).add(1e-3).add(1000).add(3).add(0);
  if (loaded_module("driftwalk").call(1, in.pointers()).failed) status |= 4;
  const mexhost::CallResult probe = loaded_module("teamprobe").call(0, {});
  if (probe.failed || probe.lines.size() != 2) status |= 8;
  return status;
}

}  // namespace

TEST(ForkedProcess, EveryModuleAnswersOnOneThreadWithTheOneThreadBits) {
  std::vector<std::vector<double>> one_thread;
  for (const char *name : {"kinkstep", "splitavg"})
    for (bool sparse : {false, true}) {
      const mexhost::CallResult r = team_call(name, sparse, 1);
      ASSERT_FALSE(r.failed) << r.error_message;
      one_thread.push_back(mexhost::values(r.output()));
    }
  start_a_team();

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bound_this_copy();
    _exit(calls_in_child(one_thread));
  }
  int status = 0;
  bool ended = false;
  for (int k = 0; k < 1200 && !ended; ++k) {  // a minute at most: a team that waits never ends
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended) usleep(50000);
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the forked process hung in a call";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "the forked process ended by signal " << WTERMSIG(status);
  const int found = WEXITSTATUS(status);
  EXPECT_EQ(found & 1, 0) << "a call asking for 2 threads failed or did not warn threadsReduced";
  EXPECT_EQ(found & 2, 0) << "a call in the forked process gave other bits than one thread";
  EXPECT_EQ(found & 4, 0) << "driftwalk failed";
  EXPECT_EQ(found & 8, 0) << "teamprobe failed or greeted from more than one thread";
}

namespace {

// The info.seed of an unseeded kinkstep call, or -1 when it failed.
double unseeded_call_seed() {
  Inputs in;
  in.add(worked_X()).add(worked_y()).add(0.01).add(0.1).add(5).add(0).add(0);
  const mexhost::CallResult r = loaded_module("kinkstep").call(2, in.pointers());
  return r.failed ? -1.0 : reported_seed(r);
}

}  // namespace

TEST(ForkedProcess, UnseededCallsInCopiesOfOneSessionTakeSeedsOfTheirOwn) {
  // The session's unseeded calls have begun before the copies are made.
  ASSERT_GE(unseeded_call_seed(), 0.0);
  std::vector<double> seeds;
  for (int copy = 0; copy < 2; ++copy) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bound_this_copy();
      const double seed = unseeded_call_seed();
      _exit(write(ends[1], &seed, sizeof seed) == static_cast<ssize_t>(sizeof seed) ? 0 : 1);
    }
    close(ends[1]);
    double seed = -1.0;
    const ssize_t got = read(ends[0], &seed, sizeof seed);
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof seed));
    ASSERT_GE(seed, 0.0) << "the call in the copy failed";
    seeds.push_back(seed);
  }
  seeds.push_back(unseeded_call_seed());
  EXPECT_NE(seeds[0], seeds[1]) << "two copies of the session drew the same seed";
  EXPECT_NE(seeds[0], seeds[2]) << "a copy drew the session's next seed";
  EXPECT_NE(seeds[1], seeds[2]) << "a copy drew the session's next seed";
}

TEST(ForkedProcess, ACopyWhoseParentHasEndedAnswersToo) {
  // A team in this process first; then a copy of a copy, left alone by its parent's end (as a
  // worker detaches itself), asks for a team.
  start_a_team();
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t middle = fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {
    const pid_t parent = getpid();
    if (fork() != 0) _exit(0);
    bound_this_copy();
    for (int k = 0; k < 200 && getppid() == parent; ++k) usleep(20000);
    // Its id first, so that a copy that hangs can be ended.
    const pid_t me = getpid();
    if (write(ends[1], &me, sizeof me) != static_cast<ssize_t>(sizeof me)) _exit(1);
    char answer = 'p';
    if (getppid() != parent) {
      const mexhost::CallResult r = team_call("kinkstep", false, 2);
      answer = r.failed ? 'f' : has_warning(r, "kinkstep:threadsReduced") ? 'y' : 't';
    }
    const bool written = write(ends[1], &answer, 1) == 1;
    _exit(written ? 0 : 1);
  }
  close(ends[1]);
  waitpid(middle, nullptr, 0);
  pid_t copy = 0;
  char answer = 0;
  // A minute at most: a team that waits never ends, and the copy is no child of this process.
  const auto read_within = [&](void *into, size_t bytes) {
    for (int k = 0; k < 1200; ++k) {
      struct timeval wait {
        0, 50000
      };
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(ends[0], &readable);
      if (select(ends[0] + 1, &readable, nullptr, nullptr, &wait) > 0)
        return read(ends[0], into, bytes) == static_cast<ssize_t>(bytes);
    }
    return false;
  };
  const bool got_pid = read_within(&copy, sizeof copy);
  const bool answered = got_pid && read_within(&answer, 1);
  close(ends[0]);
  if (!answered && copy > 0) kill(copy, SIGKILL);
  ASSERT_TRUE(got_pid) << "the copy did not start";
  ASSERT_TRUE(answered) << "the copy whose parent has ended hung in a call";
  EXPECT_NE(answer, 'p') << "the copy's parent did not end";
  EXPECT_NE(answer, 'f') << "the call in the copy failed";
  EXPECT_NE(answer, 't') << "the copy was not known: the call took a team of 2";
}
