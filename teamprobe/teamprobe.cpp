// teamprobe(): prints the processor count and a greeting from every thread of a default team.
#include <omp.h>

#include "mex.h"

void mexFunction(int /*nlhs*/, mxArray * /*plhs*/[], int /*nrhs*/, const mxArray * /*prhs*/[]) {
  mexPrintf("Number of processors: %d\n", omp_get_num_procs());
#pragma omp parallel
  {
    const int t = omp_get_thread_num();
    // The host's print function is not made for concurrent callers: one greeting at a time.
#pragma omp critical(teamprobe_greeting)
    mexPrintf("Hello World from thread = %d\n", t);
  }
}
