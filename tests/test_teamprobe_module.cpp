#include <omp.h>

#include <algorithm>

#include "module_call.hpp"

namespace {

const mexhost::Module &teamprobe() {
  return loaded_module("teamprobe");
}

// The processor line first, then one greeting per thread number 0 .. threads - 1 in any order,
// every line printed from the calling thread (a host's print may raise an error, which must not
// leave a parallel region).
void expect_probe_output(const mexhost::CallResult &r, int threads) {
  EXPECT_EQ(r.host_calls_in_parallel, 0) << "the host was entered from inside a parallel region";
  ASSERT_EQ(r.lines.size(), static_cast<size_t>(threads) + 1) << r.printed;
  EXPECT_EQ(r.lines[0], "Number of processors: " + std::to_string(omp_get_num_procs()));
  std::vector<std::string> greetings(r.lines.begin() + 1, r.lines.end()), expected;
  for (int t = 0; t < threads; ++t) expected.push_back("Hello World from thread = " + std::to_string(t));
  std::sort(greetings.begin(), greetings.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(greetings, expected);
}

class TeamprobeTeamSize : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = omp_get_max_threads(); }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

}  // namespace

TEST_F(TeamprobeTeamSize, OneGreetingPerThreadOfTheDefaultTeam) {
  for (int threads : {1, 4, 3}) {
    omp_set_num_threads(threads);
    mexhost::CallResult r = teamprobe().call(0, {});
    EXPECT_FALSE(r.failed);
    expect_probe_output(r, threads);
    EXPECT_EQ(r.output(), nullptr);
  }
}

TEST_F(TeamprobeTeamSize, ArgumentsAreIgnored) {
  omp_set_num_threads(2);
  Inputs in;
  in.add(mexhost::make_string("anything")).add(mexhost::make_cell(2, 2)).add(7.0);
  mexhost::CallResult r = teamprobe().call(0, in.pointers());
  EXPECT_FALSE(r.failed);
  expect_probe_output(r, 2);
}

TEST_F(TeamprobeTeamSize, AskingForAnOutputIsAnErrorBeforeAnythingIsPrinted) {
  omp_set_num_threads(2);
  const long live = mexhost::live_arrays();
  for (int nlhs : {1, 2}) {
    mexhost::CallResult r = teamprobe().call(nlhs, {});
    expect_clean_error(r, "teamprobe:tooManyOutputs");
    EXPECT_EQ(r.printed, "");
  }
  EXPECT_EQ(mexhost::live_arrays(), live);
}
