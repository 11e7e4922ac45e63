% The Octave side of the benchmark suite, called by bench/run.py:
%   octave_bench(task, prefix, N, D, stepSize, lambda, steps, repeats[, batch])
% task 'steps': kinkstep method 0 called from Octave, and the same steps as an m-code loop.
% task 'pass':  splitavg called from Octave (team size from OMP_NUM_THREADS), and the m-code loop.
% task 'drift': driftwalk called from Octave, and the same iterations as an m-code loop (mini-batches
%               of `batch` samples, 50 when not given).
% task 'busy':  whole calls as a user makes them, for a run beside another process's work: kinkstep
%               method 1 for `steps` iterations and splitavg, both asking for a team of two, and
%               driftwalk's default team for steps / 10 iterations (batches of `batch`).
% Prints "key value" lines: median seconds of whole calls, seconds per step of the m-code loop.
function octave_bench(task, prefix, N, D, stepSize, lambda, steps, repeats, batch)
  if nargin < 9
    batch = 50;
  end
  X = read_doubles([prefix '.X'], [N D]);
  y = read_doubles([prefix '.y'], [N 1]);
  switch task
    case 'steps'
      report('call_s', median_time(@() kinkstep(X, y, stepSize, lambda, steps, 0, 0), repeats));
      report('mcode_step_s', mcode_steps(X, y, stepSize, lambda, min(steps, 20000)));
    case 'pass'
      report('call_s', median_time(@() splitavg(X, y, stepSize, lambda, 0), repeats));
      report('mcode_step_s', mcode_steps(X, y, stepSize, lambda, min(N, 20000)));
    case 'busy'
      two = struct('threads', 2, 'seed', 1);
      report('kinkstep1_call_s', median_time(@() kinkstep(X, y, stepSize, lambda, steps, 1, 0, two), repeats));
      report('splitavg_call_s', median_time(@() splitavg(X, y, stepSize, lambda, 0, two), repeats));
      report('driftwalk_call_s', ...
             median_time(@() driftwalk(X, y, 2e-4, 10, -0.55, 1, batch, ceil(steps / 10), 0), repeats));
    case 'drift'
      % steps = iterations, the schedule of the C++ side
      report('call_s', median_time(@() driftwalk(X, y, 2e-4, 10, -0.55, 1, batch, steps, 0), repeats) / steps);
      report('mcode_iteration_s', mcode_drift(X, y, batch, min(steps, 200)));
  end
end

function v = read_doubles(path, shape)
  f = fopen(path, 'r');
  v = fread(f, shape, 'double');
  fclose(f);
end

function report(key, value)
  printf('%s %.9g\n', key, value);
end

function t = median_time(f, repeats)
  t = zeros(repeats, 1);
  for r = 1:repeats
    tic; f(); t(r) = toc;
  end
  t = median(t);
end

% Seconds per step of constant-step subgradient descent written as a user would: samples drawn up
% front, each step one dot product and one vector update on a column of X' (contiguous).
function t = mcode_steps(X, y, stepSize, lambda, steps)
  Xt = X';
  idx = randi(size(X, 1), steps, 1);
  w = zeros(size(X, 2), 1);
  tic;
  for k = 1:steps
    i = idx(k);
    x = Xt(:, i);
    c = x' * w - y(i);
    w = w - stepSize * (c * x + lambda * sign(w));
  end
  t = toc / steps;
end

% Seconds per Langevin iteration: a permutation, the scaled mini-batch gradient, Gaussian noise.
function t = mcode_drift(X, y, B, iterations)
  [N, D] = size(X);
  w = zeros(D, 1);
  tic;
  for it = 0:iterations - 1
    p = randperm(N);
    b = p(1:B);
    r = X(b, :) * w - y(b);
    g = (N / B) * (2 * (X(b, :)' * r)) + 1 * sign(w);
    e = 2e-4 * (it + 10) ^ -0.55;
    w = w - (e * 0.5) * g - e * randn(D, 1);
  end
  t = toc / iterations;
end
