% SPLITAVG_MPI  splitavg's pass over MPI processes, run from the prompt through mpirun.
%
%   w = splitavg_mpi(file, stepSize, lambda, verbose)
%   [w, info] = splitavg_mpi(file, stepSize, lambda, verbose, opts)
%
%   Runs the program splitavg-mpi under mpirun on this machine (or on the hosts of a hostfile)
%   and reads its result back. The data stay in the file: every process reads only its own block
%   of rows, so X never has to fit in this session or in any one process.
%
%   Inputs
%     file      name of a MAT file holding X (N-by-D, real double or single, full or sparse) and y
%               (N labels), ~/ for the home folder as load and save take it,
%               or a pattern with %d, such as 'shard_%d.mat', for one file per process (process
%               p reads shard_p.mat; the rows of all files in process order make X). Save from
%               Octave with save -v6 (fastest partial reads) or -v7, from MATLAB with -v7.3.
%     stepSize  constant step of every descent step (real scalar).
%     lambda    weight of the L1 penalty, as in splitavg (real scalar).
%     verbose   1 to print splitavg's progress lines and the process count; any other value
%               (after truncation toward zero) is silent.
%     opts      optional struct (or []) with any of the fields
%                 processes  MPI processes P (default 1)
%                 threads    OpenMP threads per process t, 1 .. 1024 (default 1)
%                 seed       seed of the shuffle, 0 .. 2^32-1 (default: the calendar time)
%                 hostfile   an Open MPI hostfile; without one every process runs here (with
%                            --oversubscribe, so P may exceed the cores). With one, the result
%                            is written beside the data file (a hidden file, removed after), so
%                            the data's folder must be shared by every host and this machine
%                 program    the splitavg-mpi executable (default: $SPLITAVG_MPI, then the
%                            folder of this file, then the build tree's cluster/ folder beside
%                            it, then the PATH)
%                 progress   true for a line per 10 % of process 0's shares passed, with the
%                            time elapsed and left (default false; verbose = 1 wins over it)
%                 x, y       the names of the feature matrix and the labels in the file
%                            (default 'X' and 'y'; the program's --x and --y)
%
%   Outputs
%     w         D-by-1 double column: bit for bit the w of
%                 splitavg(X, y, stepSize, lambda, 0, struct('seed', seed, 'threads', P*t))
%               the same shuffle from the seed, the same P*t contiguous shares (process p holds
%               shares p*t .. p*t+t-1), the same pass, the same average in share order.
%     info      struct with seed, processes, threads (per process), iterations (1), time (wall
%               seconds), objective (initial and final F when verbose is 1, else empty),
%               diverged (true when w holds a NaN or an infinity), and read_time,
%               exchange_time, pass_time, exchange_bytes (where the time went), read_bytes
%               (read from the files, all processes together) and peak_memory (the largest
%               resident memory a process reached above what it held at its start, bytes).
%
%   The program's lines appear as it runs. A failed run (a missing file or variable, sizes that
%   do not match, a complex or non-numeric X, NaN or Inf data, a truncated or damaged file, a
%   process out of memory or killed) prints the program's one message and raises
%   splitavg_mpi:failed; no result is kept. The data files are only read. A run whose weights
%   hold a NaN or an infinity returns them with the warning splitavg_mpi:diverged (info.diverged
%   is true). Ctrl-C stops every process and raises splitavg_mpi:interrupted.
%
%   Example
%     X = randn(1000, 10); y = X * (1:10)' + randn(1000, 1);
%     save('-v6', 'data.mat', 'X', 'y');
%     [w, info] = splitavg_mpi('data.mat', 1e-3, 1e-4, 1, struct('processes', 2, 'seed', 5));
%     isequal(w, splitavg(X, y, 1e-3, 1e-4, 0, struct('seed', 5, 'threads', 2)))   % true
%
%   Running as root, Open MPI wants OMPI_ALLOW_RUN_AS_ROOT=1 and OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
%   in the environment (setenv them first). See the README's section on running on a cluster.
%
%   Errors
%     splitavg_mpi:invalidInput   file is not a string, or stepSize, lambda or verbose is not a
%                                 real scalar
%     splitavg_mpi:invalidOption  opts is not a struct, has an unknown field or a bad value
%     splitavg_mpi:noProgram      splitavg-mpi or mpirun was not found
%     splitavg_mpi:failed         the run failed (its message is printed above)
%     splitavg_mpi:interrupted    Ctrl-C stopped the run
%
%   Warnings
%     splitavg_mpi:diverged       the weights hold a NaN or an infinity (the step is too large)
%
%   See also splitavg.
function [w, info] = splitavg_mpi(file, stepSize, lambda, verbose, opts)
  if nargin < 4 || nargin > 5
    error('splitavg_mpi:invalidInput', 'splitavg_mpi takes 4 or 5 inputs: (file, stepSize, lambda, verbose[, opts]).');
  end
  if ~ischar(file) || isempty(file) || size(file, 1) ~= 1 || any(file == char(0))
    error('splitavg_mpi:invalidInput', 'file must be the name of a MAT file (a character row without NUL).');
  end
  names = {'stepSize', 'lambda', 'verbose'};
  values = {stepSize, lambda, verbose};
  for k = 1:3
    v = values{k};
    if ~(isnumeric(v) || islogical(v)) || ~isscalar(v) || ~isreal(v) || issparse(v)
      error('splitavg_mpi:invalidInput', '%s must be a real numeric scalar.', names{k});
    end
  end
  if ~isfinite(stepSize) || ~isfinite(lambda)
    error('splitavg_mpi:invalidInput', 'stepSize and lambda must be finite.');
  end
  if nargin < 5
    opts = [];
  end
  o = read_options(opts);
  % ~ is the home folder here, as load and save take it; the shell never sees it unquoted.
  file = home_expanded(file);
  o.hostfile = home_expanded(o.hostfile);
  o.program = home_expanded(o.program);

  program = o.program;
  if isempty(program)
    program = find_program();
  end
  % On this machine only: with a hostfile the program may lie on the hosts alone.
  if isempty(o.hostfile) && ~is_runnable(program)
    error('splitavg_mpi:noProgram', ['splitavg-mpi was not found: %s is not an executable file; pass ', ...
          'opts.program or set SPLITAVG_MPI to the built program.'], program);
  end
  mpirun = 'mpirun';
  [status, ~] = system('command -v mpirun');
  if status ~= 0
    error('splitavg_mpi:noProgram', 'mpirun was not found on the PATH (Debian: apt-get install openmpi-bin).');
  end

  out = [tempname(), '.mat'];
  if ~isempty(o.hostfile)
    % Process 0, which writes the result, may run on another host: the result goes beside the
    % data, which every host must see anyway (under a name of its own, removed after).
    [~, name] = fileparts(out);
    out = fullfile(fileparts(file), ['.', name, '.mat']);
  end
  cleanup = onCleanup(@() remove_if_there(out));
  cmd = sprintf('%s -n %d', mpirun, o.processes);
  if isempty(o.hostfile)
    cmd = [cmd, ' --oversubscribe --bind-to none'];
  else
    cmd = [cmd, ' --hostfile ', quote(o.hostfile)];
  end
  cmd = sprintf('%s %s --step %s --lambda %s --threads %d', cmd, quote(program), exact_number(stepSize), ...
                exact_number(lambda), o.threads);
  if ~isempty(o.seed)
    cmd = sprintf('%s --seed %d', cmd, o.seed);
  end
  if fix(double(verbose)) == 1
    cmd = [cmd, ' --verbose'];
  end
  if o.progress
    cmd = [cmd, ' --progress'];
  end
  cmd = [cmd, ' --x ', quote(o.x), ' --y ', quote(o.y)];
  % After --, a file whose name starts with -- is still a file.
  cmd = [cmd, ' -- ', quote(file), ' ', quote(out)];

  % Ctrl-C reaches the shell that runs mpirun as well: it notes it (a handler, so that mpirun does
  % not inherit an ignored signal), waits for the job to end and exits with 130, which tells an
  % interruption apart from the program's own exit statuses (system gives a signal's number).
  cmd = ['trap ''interrupted=1'' INT; ', cmd, '; status=$?; if [ -n "$interrupted" ]; then exit 130; fi; exit $status'];
  % Without an output argument system leaves the program's output on the terminal as it comes.
  status = system(cmd);
  if status == 130
    error('splitavg_mpi:interrupted', 'splitavg_mpi: interrupted; the run stopped and left no result.');
  end
  if status ~= 0
    error('splitavg_mpi:failed', 'splitavg-mpi failed (exit status %d); its message is above.', status);
  end
  if ~exist(out, 'file')
    if isempty(o.hostfile)
      error('splitavg_mpi:failed', ['%s finished without an error but wrote no result: is it splitavg-mpi? ', ...
            '(opts.program or SPLITAVG_MPI names the program)'], program);
    end
    error('splitavg_mpi:failed', ['splitavg-mpi finished, but its result %s is not to be seen from here: ', ...
          'with a hostfile the data''s folder must be one that every host and this machine share.'], out);
  end
  result = load(out);
  if ~isfield(result, 'w') || ~isfield(result, 'info')
    error('splitavg_mpi:failed', '%s finished without an error but its result holds no w and info: is it splitavg-mpi?', ...
          program);
  end
  w = result.w;
  info = result.info;
  if isfield(info, 'diverged') && info.diverged
    warning('splitavg_mpi:diverged', ['splitavg_mpi: the run diverged (w holds a NaN or an infinity): the step ', ...
            'size is too large for these data; a smaller step size (stochl1_stepsize gives a safe one) or ', ...
            'features scaled to unit size help.']);
  end
end

function o = read_options(opts)
  o = struct('processes', 1, 'threads', 1, 'seed', [], 'hostfile', '', 'program', '', 'progress', false, ...
             'x', 'X', 'y', 'y');
  if isempty(opts) && isnumeric(opts)
    return;
  end
  if ~isstruct(opts) || ~isscalar(opts)
    error('splitavg_mpi:invalidOption', 'opts must be a scalar struct (or []).');
  end
  fields = fieldnames(opts);
  for k = 1:numel(fields)
    name = fields{k};
    v = opts.(name);
    switch name
      case 'processes'
        o.processes = whole(name, v, 1, 1e6);
      case 'threads'
        o.threads = whole(name, v, 1, 1024);
      case 'seed'
        o.seed = whole(name, v, 0, 4294967295);
      case 'progress'
        if ~(islogical(v) || isnumeric(v)) || ~isscalar(v) || ~isreal(v) || isnan(double(v))
          error('splitavg_mpi:invalidOption', 'opts.progress must be true or false.');
        end
        o.progress = double(v) ~= 0;
      case {'x', 'y'}
        if ~ischar(v) || size(v, 1) ~= 1 || ~isvarname(v)
          error('splitavg_mpi:invalidOption', 'opts.%s must be the name of a variable in the file.', name);
        end
        o.(name) = v;
      case {'hostfile', 'program'}
        if ~ischar(v) || isempty(v) || size(v, 1) ~= 1 || any(v == char(0))
          error('splitavg_mpi:invalidOption', 'opts.%s must be a file name.', name);
        end
        o.(name) = v;
      otherwise
        error('splitavg_mpi:invalidOption', ...
              ['opts.%s is not an option of splitavg_mpi; it takes processes, threads, seed, hostfile, program, ', ...
               'progress, x and y.'], name);
    end
  end
end

function n = whole(name, v, low, high)
  if ~(isnumeric(v) || islogical(v)) || ~isscalar(v) || ~isreal(v) || ~isfinite(v) || v ~= fix(v) || v < low || v > high
    error('splitavg_mpi:invalidOption', 'opts.%s must be a whole number from %d to %d.', name, low, high);
  end
  n = double(v);
end

function program = find_program()
  program = getenv('SPLITAVG_MPI');
  if ~isempty(program)
    return;
  end
  % Beside this file (an installed package), or in the build tree it was copied into (build/octave
  % beside build/cluster).
  folder = fileparts(mfilename('fullpath'));
  for here = {fullfile(folder, 'splitavg-mpi'), fullfile(folder, '..', 'cluster', 'splitavg-mpi')}
    if exist(here{1}, 'file')
      program = here{1};
      return;
    end
  end
  [status, found] = system('command -v splitavg-mpi');
  if status == 0
    program = strtrim(found);
    return;
  end
  error('splitavg_mpi:noProgram', ...
        ['splitavg-mpi was not found: build it with CMake (it needs libopenmpi-dev and libmatio-dev), then ', ...
         'put it on the PATH, set SPLITAVG_MPI to it, or pass opts.program.']);
end

% A path names an executable file, or a bare name is found on the PATH.
function runnable = is_runnable(program)
  if any(program == '/')
    [status, ~] = system(['test -f ', quote(program), ' && test -x ', quote(program)]);
  else
    [status, ~] = system(['command -v ', quote(program)]);
  end
  runnable = status == 0;
end

% One word for the shell, whatever the name holds.
function q = quote(s)
  q = ['''', strrep(s, '''', '''\'''''), ''''];
end

function name = home_expanded(name)
  if strcmp(name, '~') || strncmp(name, '~/', 2)
    if exist('tilde_expand', 'builtin')
      name = tilde_expand(name);  % Octave's own, as its load and save use it (HOME, else the user's entry)
    else
      name = [getenv('HOME'), name(2:end)];
    end
  end
end

% A double as the program reads it, exactly and in any locale: %g writes the decimal point as the
% session's C locale has it (a comma, once a library has set one), which the program refuses.
% Here a whole significand in hexadecimal and a power of two: 0x<digits>p<exponent>.
function t = exact_number(x)
  x = double(x);
  if x == 0
    t = '0';
    if 1 / x < 0
      t = '-0';  % kept as such
    end
    return;
  end
  [f, e] = log2(abs(x));  % abs(x) = f 2^e, 0.5 <= f < 1: f 2^53 is a whole number below 2^53
  t = sprintf('0x%sp%d', dec2hex(f * 2 ^ 53), e - 53);
  if x < 0
    t = ['-', t];
  end
end

function remove_if_there(f)
  if exist(f, 'file')
    if exist('OCTAVE_VERSION', 'builtin')
      unlink(f);  % delete would expand * and [ in the folder's name
    else
      delete(f);
    end
  end
end
