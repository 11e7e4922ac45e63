% TEAMPROBE  Show the processor count and the size of a default OpenMP team.
%
%   teamprobe()
%
%   Prints how many processors the OpenMP runtime sees, then lets every thread of one
%   OpenMP team of the default size greet by its thread number:
%
%     Number of processors: 2
%     Hello World from thread = 0
%     Hello World from thread = 1
%
%   The processor line always comes first; the greetings come in whatever order the
%   threads reach them, one per thread. The number of greetings is the team size that
%   kinkstep (method 1) and splitavg will use: set it with the environment variable
%   OMP_NUM_THREADS before starting Octave or MATLAB. In a copy of a session made by fork
%   after the modules ran a team there is one greeting: such a copy runs on one thread.
%
%   Inputs are ignored. teamprobe returns nothing: x = teamprobe() is the error
%   teamprobe:tooManyOutputs, raised before anything is printed. A default team that cannot
%   start in this process (OMP_NUM_THREADS above 1024, or thread stacks that do not fit under
%   ulimit -v, ulimit -u or the system's memory, OMP_STACKSIZE; or stacks below 128 KB) is the
%   error teamprobe:threadTeam, whose message says what to lower or raise.
%
%   See also KINKSTEP, SPLITAVG.
