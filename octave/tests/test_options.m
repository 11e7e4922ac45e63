function test_options()
  % The options struct, the info output and single-precision data, from the real host.
  randn("state", 3);
  X = randn(80, 5);
  y = X * [1; 0; -1; 0; 0.5] + 0.1 * randn(80, 1);
  calls = {
    @(o) kinkstep(X, y, 0.01, 0.1, 50, 0, 0, o);
    @(o) kinkstep(X, y, 0.01, 0.1, 50, 1, 0, o);
    @(o) driftwalk(X, y, 1e-3, 10, -0.55, 0.1, 8, 50, 0, o);
    @(o) splitavg(X, y, 0.01, 0.1, 0, o);
  };
  for k = 1:numel(calls)
    f = calls{k};
    % A seeded run repeats itself; info.seed replays a time-seeded one.
    assert(f(struct("seed", 12)), f(struct("seed", 12)));
    [w, info] = f([]);
    if k == 2
      % Method 1 draws nothing from a seed: opts.seed is accepted, changes nothing, and info.seed
      % is empty.
      assert(isempty(info.seed));
      assert(f(struct("seed", 12)), f(struct("seed", 99)));
      assert(f([]), w);
    else
      assert(f(struct("seed", info.seed)), w);
    end
    assert(isfield(info, {"seed", "threads", "iterations", "time", "objective"}));
    assert(info.objective(1), sum(y .^ 2), 1e-9 * sum(y .^ 2));
  end

  % info.objective: the initial and final values, and with opts.history every k-th iteration's.
  out = evalc('[w, info] = kinkstep(X, y, 0.01, 0.1, 20, 0, 1, struct("seed", 4, "history", 1));');
  printed = cellfun(@(c) str2double(c{1}), regexp(out, '(?:Initial|Iteration[^\n]*|Final) object function = ([^\n]+)', 'tokens'));
  assert(numel(info.objective), 22);
  assert(info.history_iterations(:)', [0:20 20]);
  assert(arrayfun(@(v) sprintf("%f", v), info.objective(:)', "UniformOutput", false), ...
         arrayfun(@(v) sprintf("%f", v), printed, "UniformOutput", false));
  [w2, info] = kinkstep(X, y, 0.01, 0.1, 20, 0, 0, struct("seed", 4, "history", 5));
  assert(w2, w);
  assert(info.history_iterations(:)', [0 5 10 15 20 20]);
  assert(info.objective(:)', printed([1 6 11 16 21 22]), -1e-6);
  [w2, info] = kinkstep(X, y, 0.01, 0.1, 20, 0, 0, struct("seed", 4));
  assert(w2, w);
  assert(info.history_iterations(:)', [0 20]);
  assert(info.objective(:)', printed([1 22]), -1e-6);

  % Team sizes from opts.threads, each deterministic.
  for T = 1:3
    [a, info] = splitavg(X, y, 0.01, 0.1, 0, struct("seed", 1, "threads", T));
    assert(info.threads, T);
    assert(splitavg(X, y, 0.01, 0.1, 0, struct("seed", 1, "threads", T)), a);
    [b, info] = kinkstep(X, y, 0.01, 0.1, 30, 1, 0, struct("threads", T));
    assert(info.threads, T);
    assert(kinkstep(X, y, 0.01, 0.1, 30, 1, 0, struct("threads", T)), b);
  end

  % Single data give the result of their double values.
  Xs = single(X);
  ys = single(y);
  assert(kinkstep(Xs, ys, 0.01, 0.1, 50, 0, 0, struct("seed", 5)), ...
         kinkstep(double(Xs), double(ys), 0.01, 0.1, 50, 0, 0, struct("seed", 5)));
  assert(splitavg(Xs, y, 0.01, 0.1, 0, struct("seed", 5)), splitavg(double(Xs), y, 0.01, 0.1, 0, struct("seed", 5)));

  % A mean of iterates is their exact mean, rounded once: weights that never move (a step of 0)
  % keep their bits, even next to the largest double, and nothing is said to have diverged.
  w0 = [1e307; 0.1; -5e307];  % seven of them overflow; two (method 1's sum of candidates) do not
  Z = [eye(3); eye(3)];
  averaged = {
    @() kinkstep(Z, zeros(6, 1), 0, 0, 7, 0, 0, struct("seed", 1, "average", true, "w0", w0));
    @() kinkstep(Z, zeros(6, 1), 0, 0, 7, 1, 0, struct("threads", 2, "average", 1, "w0", w0));
    @() splitavg(Z, zeros(6, 1), 0, 0, 0, struct("seed", 1, "threads", 1, "average", 1, "w0", w0));
  };
  for k = 1:numel(averaged)
    lastwarn("");
    assert(averaged{k}(), w0);
    assert(lastwarn(), "");
  end

  % Bad options name the field.
  e = raised(@() kinkstep(X, y, 0.01, 0.1, 5, 0, 0, struct("sede", 1)));
  assert(e.identifier, "kinkstep:unknownOption");
  assert(! isempty(strfind(e.message, "opts.sede")));
  e = raised(@() splitavg(X, y, 0.01, 0.1, 0, struct("threads", 0)));
  assert(e.identifier, "splitavg:invalidOption");
  assert(! isempty(strfind(e.message, "opts.threads")));
  e = raised(@() driftwalk(X, y, 1e-3, 10, -0.55, 0.1, 8, 5, 0, struct("threads", 1025)));
  assert(e.identifier, "driftwalk:invalidOption");
  assert(! isempty(strfind(e.message, "opts.threads")));
  e = raised(@() driftwalk(X, y, 1e-3, 10, -0.55, 0.1, 8, 5, 0, struct("treads", 2)));
  assert(e.identifier, "driftwalk:unknownOption");
  assert(! isempty(strfind(e.message, "seed, threads, progress, history and w0")), e.message);
  e = raised(@() kinkstep(X, y, 0.01, 0.1, 5, 0, 0, struct("seed", -1)));
  assert(e.identifier, "kinkstep:invalidOption");
  % A NUL inside a text value is part of the value, not its end.
  e = raised(@() kinkstep(X, y, 0.01, 0.1, 5, 0, 0, struct("l1", ["prox" char(0) "junk"])));
  assert(e.identifier, "kinkstep:invalidOption");
  assert(! isempty(strfind(e.message, "opts.l1")));
  e = raised(@() kinkstep(X, y, 0.01, 0.1, 5, 0, 0, {1}));
  assert(e.identifier, "kinkstep:invalidOptions");
  printf("test_options: all passed\n");
end
