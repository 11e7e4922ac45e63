function test_hardening(what)
  % Settings that would end the session were they not checked first, tried in child octave-cli processes: thread counts and
  % stack sizes the process cannot create, and memory limits (ulimit -v). Each child must stay
  % alive and report the module's own error; then warnings and messages in this session.
  if nargin == 1
    child_part(what);
    return;
  end
  X = "randn(100, 3)"; y = "randn(100, 1)";
  calls = {sprintf("splitavg(%s, %s, 0.01, 0.1, 0, o)", X, y), ...
           sprintf("kinkstep(%s, %s, 0.01, 0.1, 10, 1, 0, o)", X, y), ...
           "driftwalk(randn(100, 200), randn(100, 1), 1e-4, 1, -0.55, 1e-3, 100, 5, 0, o)"};

  % opts.threads inside the documented range, but more stacks than the address space left.
  r = child("ulimit -v 8388608;", "splitavg(randn(100,3), randn(100,1), 0.01, 0.1, 0, struct('threads', 1024))");
  assert(r.id, "splitavg:threadTeam", r.out);
  assert(! isempty(strfind(r.message, "ulimit -v")), r.out);
  r = child("ulimit -v 2000000;", "kinkstep(randn(100,3), randn(100,1), 0.01, 0.1, 10, 1, 0, struct('threads', 300))");
  assert(r.id, "kinkstep:threadTeam", r.out);

  % Default teams from the environment: beyond the bound, or with stacks no system maps.
  for env = {"OMP_NUM_THREADS=100000", "OMP_NUM_THREADS=40000", "OMP_STACKSIZE=100000G"}
    for c = [{"teamprobe()"}, strrep(calls, ", o)", ")")]
      r = child(["env " env{1}], c{1});
      assert(regexp(r.id, ':threadTeam$', 'once') > 0, r.out);
      assert(! isempty(strfind(r.message, "Lower")), r.out);
    end
  end

  % Stacks smaller than the host's thread-local storage (thread creation fails, which would end the
  % session) or than what runs on a thread: every team refused, with what to raise.
  for c = [{"teamprobe()"}, strrep(calls, ", o)", ")")]
    r = child("env OMP_STACKSIZE=16K", c{1});
    assert(regexp(r.id, ':threadTeam$', 'once') > 0, r.out);
    assert(! isempty(strfind(r.message, "Raise OMP_STACKSIZE")), r.out);
  end
  % A sign, as the runtime reads it; and a size the runtime takes but cannot apply, which leaves
  % its default stacks (GOMP_STACKSIZE is then not read).
  r = child("env OMP_STACKSIZE=+20K", "teamprobe()");
  assert(r.id, "teamprobe:threadTeam", r.out);
  r = child("env OMP_STACKSIZE=8K GOMP_STACKSIZE=64K", strrep(calls{2}, ", o)", ", struct('threads', 2))"), 2);
  assert(r.id, "", r.out);
  assert(isequal(r.threads, 2), "%s", r.out);
  % A conversion's team is only a speed-up: method 0 on rows large enough for one runs alone.
  r = child("env OMP_STACKSIZE=36K", "kinkstep(randn(1000, 100), randn(1000, 1), 1e-4, 0.01, 10, 0, 0)");
  assert(r.id, "", r.out);

  % The host's own allocation failure and ours: outOfMemory, the module's name once.
  r = child("ulimit -v 2000000;", "driftwalk(zeros(0, 1.5e8), [], 0.1, 1, -0.5, 0.1, 1, 0, 0)");
  assert(r.id, "driftwalk:outOfMemory", r.out);
  assert(isempty(strfind(r.message, "driftwalk: driftwalk")), r.out);
  r = child("ulimit -v 2000000;", "kinkstep(1, 1, 0.1, 0.1, 1.2e8, 0, 0, struct('history', 1))", 2);
  assert(r.id, "kinkstep:outOfMemory", r.out);
  assert(isempty(strfind(r.message, "kinkstep: kinkstep")), r.out);
  % A history that cannot fit is refused before the first step, naming what asked for it.
  assert(! isempty(strfind(r.message, "opts.history = 1 keeps 120000002 objectives")), r.out);
  r = child("ulimit -v 2000000;", "driftwalk(1, 1, 0.1, 1, -0.5, 0.1, 1, 2^31-1, 0, struct('history', 2))", 2);
  assert(r.id, "driftwalk:outOfMemory", r.out);
  assert(! isempty(strfind(r.message, "opts.history = 2")), r.out);

  % A thread limit below opts.threads: the run uses what it gets and says so once.
  r = child("env OMP_THREAD_LIMIT=1", "splitavg(randn(100,3), randn(100,1), 0.01, 0.1, 0, struct('threads', 3))", 2);
  assert(r.id, "", r.out);
  assert(r.warnings, {"splitavg:threadsReduced"}, r.out);
  assert(isequal(r.threads, 1), "%s", r.out);
  r = child("env OMP_MAX_ACTIVE_LEVELS=0", "kinkstep(randn(100,3), randn(100,1), 0.01, 0.1, 5, 1, 0, struct('threads', 3))", 2);
  assert(r.warnings, {"kinkstep:threadsReduced"}, r.out);
  assert(isequal(r.threads, 1), "%s", r.out);
  r = child("env OMP_THREAD_LIMIT=1", strrep(calls{3}, ", o)", ", struct('threads', 3))"), 2);
  assert(r.warnings, {"driftwalk:threadsReduced"}, r.out);
  assert(isequal(r.threads, 1), "%s", r.out);
  % Under dynamic adjustment the team asked for is the team used, whatever the load.
  r = child("env OMP_DYNAMIC=true", "splitavg(randn(100,3), randn(100,1), 0.01, 0.1, 0, struct('threads', 3))", 2);
  assert(isequal(r.threads, 3), "%s", r.out);
  assert(isempty(r.warnings), r.out);

  % In this session: empty shares are warned, integer inputs are named as given.
  lastwarn("");
  w = splitavg(randn(10, 2), randn(10, 1), 0.01, 0.1, 0, struct("seed", 1, "threads", 16));
  [msg, id] = lastwarn();
  assert(id, "splitavg:emptyShares");
  assert(! isempty(strfind(msg, "15 of the 16 shares")), msg);
  e = raised(@() kinkstep(1, 1, 0.1, 0.1, 1, NaN, 0));
  assert(e.identifier, "kinkstep:invalidMethod");
  assert(! isempty(strfind(e.message, "got NaN")), e.message);
  e = raised(@() driftwalk(randn(4, 2), randn(4, 1), 0.1, 1, -0.5, 0.1, 2^31, 5, 0));
  assert(! isempty(strfind(e.message, "got 2147483648, outside the 32-bit range")), e.message);
  e = raised(@() kinkstep(1, 1, 0.1, 0.1, 1, 2^31, 0));
  assert(isempty(strfind(e.message, "-2147483648")), e.message);
  printf("test_hardening: all passed\n");
end

% Runs `call` in a child octave-cli started after `prefix` (a shell prefix: ulimit, env) and reads
% what it reports; the child must end normally.
function r = child(prefix, call, nout)
  if nargin < 3, nout = 1; end
  moddir = fileparts(which("kinkstep"));
  testdir = fileparts(mfilename("fullpath"));
  cli = fullfile(OCTAVE_HOME(), "bin", "octave-cli");
  request = strrep(sprintf("%d|%s", nout, call), "'", "''");
  cmd = sprintf('%s %s --no-gui --norc --quiet --no-history --eval "addpath(''%s''); addpath(''%s''); test_hardening(''%s'');" 2>&1', ...
                prefix, cli, moddir, testdir, request);
  [status, out] = system(["bash -c " shell_quote(cmd)]);
  r.out = out;
  assert(status == 0, "%s", out);
  assert(! isempty(strfind(out, "child alive")), out);
  r.id = field(out, "id");
  r.message = field(out, "message");
  r.threads = str2double(field(out, "threads"));
  r.warnings = {};
  for l = strsplit(field(out, "warnings"), " ")
    if ! isempty(l{1}), r.warnings{end + 1} = l{1}; end
  end
end

function q = shell_quote(s)
  q = ["'" strrep(s, "'", "'\\''") "'"];
end

function v = field(out, name)
  v = "";
  t = regexp(out, ['(?m)^' name ': ([^\n]*)$'], 'tokens', 'once');
  if ! isempty(t), v = t{1}; end
end

% In the child: makes the call, prints what the parent reads, and ends normally.
function child_part(request)
  bar = find(request == "|", 1);
  nout = str2double(request(1:bar - 1));
  call = request(bar + 1:end);
  o = [];
  ids = {};
  warning("off", "all");
  for id = {"splitavg:threadsReduced", "kinkstep:threadsReduced", "driftwalk:threadsReduced", "splitavg:emptyShares"}
    warning("on", id{1});
  end
  lastwarn("", "");
  try
    if nout == 2
      [w, info] = eval([call ";"]);
      printf("threads: %d\n", info.threads);
    elseif strncmp(call, "teamprobe", 9)
      eval([call ";"]);
    else
      w = eval([call ";"]);
    end
    printf("id: \n");
  catch e
    printf("id: %s\nmessage: %s\n", e.identifier, e.message);
  end
  [~, wid] = lastwarn();
  printf("warnings: %s\n", wid);
  printf("child alive\n");
end
