// teamprobe(): prints the processor count and a greeting from every thread of a default team.
#include <omp.h>

#include <cstdio>
#include <string>

#include "core/threads/team.hpp"
#include "core/threads/team_limits.hpp"
#include "mex.h"

namespace {

// Fixed buffers: an error is raised only once nothing that owns memory is alive.
char g_message[512];
// The threads' numbers in the order they greeted.
int g_greeted[core::kMaxTeamSize];

// Whether the default team, of `granted` threads, can start; when not, the reason is in g_message.
bool default_team_fits(int64_t granted) {
  const std::string problem = core::team_size_problem(granted, core::default_team_setting());
  if (problem.empty()) return true;
  std::snprintf(g_message, sizeof g_message, "%s", problem.c_str());
  return false;
}

}  // namespace

void mexFunction(int nlhs, mxArray * /*plhs*/[], int /*nrhs*/, const mxArray * /*prhs*/[]) {
  if (nlhs > 0)
    mexErrMsgIdAndTxt("teamprobe:tooManyOutputs", "teamprobe prints its report and returns nothing; %d %s requested.",
                      nlhs, nlhs == 1 ? "output was" : "outputs were");
  const int granted = static_cast<int>(core::team_size_granted(omp_get_max_threads()));
  if (!default_team_fits(granted)) mexErrMsgIdAndTxt("teamprobe:threadTeam", "%s", g_message);
  mexPrintf("Number of processors: %d\n", omp_get_num_procs());
  // The team the parallel solvers would start: the load does not shrink it.
  const core::FixedTeamSize fixed_team_size;
  int team = 1, greeted = 0;
  // The threads only note their turn: the host is called from the calling thread alone, as a host
  // may raise an error (Ctrl-C at its pager) that must not leave a parallel region.
#pragma omp parallel num_threads(granted)
  {
    const int t = omp_get_thread_num();
    if (t == 0) team = omp_get_num_threads();
#pragma omp critical(teamprobe_greeting)
    if (greeted < core::kMaxTeamSize) g_greeted[greeted++] = t;
  }
  core::note_team_started(team);
  for (int k = 0; k < greeted; ++k) mexPrintf("Hello World from thread = %d\n", g_greeted[k]);
}
