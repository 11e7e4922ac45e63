function test_kinkstep_parallel(mode)
  % kinkstep method 1 from the real host. The team size comes from the OpenMP runtime's defaults,
  % which are read when the process starts, so each size runs in a child octave-cli with its own
  % environment: the child is this function, called with the name of a file that says what to run.
  if nargin == 1
    child_report(mode);
    return;
  end
  X = [1 2; 3 4; 5 6];
  y = [1 1 1];

  % maxIter = 0: banner, thread count, equal initial and final objective, zeros.
  out = evalc('w = kinkstep(X, y, 0.1, 0.5, 0, 1, 1);');
  lines = strsplit(strtrim(out), "\n");
  assert(numel(lines), 4);
  assert(lines{1}, "N=3, D=2, method=1, maxIter=0");
  assert(! isempty(regexp(lines{2}, '^Number of threads = [1-9][0-9]*$', 'once')), lines{2});
  assert(lines(3:4), {"Initial object function = 3.000000", "Final object function = 3.000000"});
  assert(w, zeros(2, 1));

  % Silent unless verbose is exactly 1, with the same weights; method 1.7 is method 1.
  [A, b] = irregular();
  evalc('loud = kinkstep(A, b, 0.05, 0.1, 60, 1.7, 1);');
  assert(evalc('quiet = kinkstep(A, b, 0.05, 0.1, 60, 1, 0);'), "");
  assert(quiet, loud);
  try
    kinkstep(zeros(0, 2), [], 0.1, 0.5, 1, 1, 0);
    error("test:noError", "an empty data set was accepted for 1 iteration");
  catch e
    assert(e.identifier, "kinkstep:emptyData");
  end

  % Each team size gives its own weights, the same in every run, and prints itself.
  by_team = cell(1, 4);
  for T = 1:4
    r = child(sprintf("OMP_NUM_THREADS=%d OMP_DYNAMIC=false", T));
    assert(r.threads, T);
    assert(r.loud, r.quiet);
    again = child(sprintf("OMP_NUM_THREADS=%d OMP_DYNAMIC=false", T));
    assert(again.loud, r.loud);
    by_team{T} = r.loud;
  end
  for a = 1:4
    for c = a + 1:4
      assert(! isequal(by_team{a}, by_team{c}), sprintf("T = %d and T = %d gave the same weights", a, c));
    end
  end
  % With dynamic teams the runtime may size the first team to the load; the rest keep that size.
  r = child("OMP_DYNAMIC=true");
  assert(r.loud, r.quiet);
  if r.threads > 4
    same = child(sprintf("OMP_NUM_THREADS=%d OMP_DYNAMIC=false", r.threads));
    by_team{r.threads} = same.loud;
  end
  assert(r.loud, by_team{r.threads});

  % Two threads on the worked example. Which samples seeds 0 and 1 draw is read from a probe:
  % with X = I, y = 1, lambda = 0 and stepSize = 1 a drawn sample i leaves 1 at w_i in its candidate.
  probe = child("OMP_NUM_THREADS=2 OMP_DYNAMIC=false", "probe");
  drawn = find(probe.loud);
  assert(numel(drawn) == 2, "seeds 0 and 1 drew the same sample; the example needs two");
  assert(probe.loud(drawn), [0.5; 0.5]);
  % Which of the two samples is thread 0's does not matter: a sum of two terms is the same both ways.
  rows = [1 2; 3 4; 5 6];
  order = [drawn; setdiff(1:3, drawn)'];
  Xw = zeros(3, 2);
  Xw(order, :) = rows;
  r = child("OMP_NUM_THREADS=2 OMP_DYNAMIC=false", "worked", Xw);
  assert(r.lines, {"N=3, D=2, method=1, maxIter=1", "Number of threads = 2", ...
         "Initial object function = 3.000000", "Iteration 0, object function = 4.170000", ...
         "Final object function = 4.170000"});
  assert(r.loud, [0.2; 0.3], 1e-15);
  % The help text lies next to the module and says where the team size comes from; calls still
  % reach the module.
  assert(! isempty(strfind(evalc("help kinkstep"), "OMP_NUM_THREADS")));
  assert(! isempty(regexp(which("kinkstep"), '\.mex$', 'once')), which("kinkstep"));
  printf("test_kinkstep_parallel: all passed\n");
end

function [A, b] = irregular()
  A = reshape(sin(2 + (0:119)), 40, 3);
  b = cos(0.5 * (0:39))';
end

% Runs this function in a child octave-cli under the given environment and reads its report.
function r = child(env, what, Xw)
  if nargin < 2, what = "irregular"; end
  if nargin < 3, Xw = []; end
  moddir = fileparts(which("kinkstep"));
  testdir = fileparts(mfilename("fullpath"));
  input = [tempname() ".mat"];
  save("-binary", input, "what", "Xw");
  cli = fullfile(OCTAVE_HOME(), "bin", "octave-cli");
  cmd = sprintf('env -u OMP_NUM_THREADS -u OMP_DYNAMIC %s "%s" --no-gui --norc --quiet --no-history --eval "addpath(''%s''); addpath(''%s''); test_kinkstep_parallel(''%s'');"', ...
                env, cli, moddir, testdir, input);
  [status, out] = system(cmd);
  delete(input);
  assert(status == 0, "%s", out);
  r.lines = {};
  for line = strsplit(strtrim(out), "\n")
    l = line{1};
    if strncmp(l, "threads ", 8)
      r.threads = str2double(l(9:end));
    elseif strncmp(l, "loud ", 5)
      r.loud = hex2num(strsplit(l(6:end), " ")');
    elseif strncmp(l, "quiet ", 6)
      r.quiet = hex2num(strsplit(l(7:end), " ")');
    elseif strncmp(l, "line ", 5)
      r.lines{end + 1} = l(6:end);
    end
  end
end

% In the child: one verbose and one silent call on the data the parent named, the printed lines and
% both weight vectors bit for bit.
function child_report(input)
  s = load(input);
  switch s.what
    case "irregular"
      [A, b] = irregular();
      args = {A, b, 0.05, 0.1, 150};
    case "probe"
      args = {eye(3), ones(3, 1), 1, 0, 1};
    case "worked"
      args = {s.Xw, [1 1 1], 0.1, 0.5, 1};
  end
  out = evalc("loud = kinkstep(args{:}, 1, 1);");
  quiet = kinkstep(args{:}, 1, 0);
  lines = strsplit(strtrim(out), "\n");
  for k = 1:numel(lines)
    printf("line %s\n", lines{k});
  end
  printf("threads %s\n", regexp(out, 'Number of threads = (\d+)', 'tokens'){1}{1});
  printf("loud %s\n", strjoin(cellstr(num2hex(loud))', " "));
  printf("quiet %s\n", strjoin(cellstr(num2hex(quiet))', " "));
end
