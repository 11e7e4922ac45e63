function stochl1_demo()
  % A sparse regression problem fitted by the modules: few true weights among many, noisy labels.
  [X, y, w_true] = demo_problem();
  [N, D] = size(X);
  printf("Synthetic problem: N = %d samples, D = %d features, %d nonzero true weights, noise sd 0.1\n\n", ...
         N, D, nnz(w_true));

  % kinkstep, method 0: one random sample per step, constant step size.
  steps = 20000;
  tic;
  out = evalc('w0 = kinkstep(X, y, 0.01, 0.001, steps, 0, 1);');
  t0 = toc;
  f = objective_trace(out);
  printf("kinkstep method 0, %d steps in %.2f s; object function along the way:\n", steps, t0);
  for k = unique([1, round(numel(f) * [0.01 0.05 0.2 0.5]), numel(f)])
    printf("  after %6d steps: %12.4f\n", k - 1, f(k));
  end
  printf("  least squares optimum: %12.4f\n\n", sum((X * (X \ y) - y) .^ 2));

  % kinkstep, method 1: a team of threads steps from the same weights; the candidates are averaged.
  tic;
  out = evalc('w1 = kinkstep(X, y, 0.01, 0.001, 5000, 1, 1);');
  t1 = toc;
  f1 = objective_trace(out);
  threads = str2double(regexp(out, 'Number of threads = (\d+)', 'tokens'){1}{1});
  printf("kinkstep method 1, %d threads, 5000 averaged iterations in %.2f s: object function %.4f -> %.4f\n", ...
         threads, t1, f1(1), f1(end));

  % driftwalk: mini-batch Langevin dynamics with a decaying step size.
  tic;
  out = evalc('wd = driftwalk(X, y, 2e-4, 10, -0.55, 1, 50, 2000, 1);');
  td = toc;
  fd = objective_trace(out);
  printf("driftwalk, 2000 iterations of batch 50 in %.2f s: object function %.4f -> %.4f\n", td, fd(1), fd(end));

  % splitavg: one pass, each thread over its own share, models averaged.
  tic;
  out = evalc('ws = splitavg(X, y, 0.01, 0.001, 1);');
  ts = toc;
  printf("splitavg, one pass over %d samples in %.2f s: %s\n\n", N, ts, ...
         strtrim(regexp(out, 'Final object function[^\n]*', 'match'){1}));

  show_weights(w_true, [w0, w1, wd, ws], {"kinkstep m0", "kinkstep m1", "driftwalk", "splitavg"});
  printf("\n");
  teamprobe();
end

function [X, y, w_true] = demo_problem()
  randn("state", 20261208);
  N = 2000;
  D = 20;
  X = randn(N, D);
  w_true = zeros(D, 1);
  w_true([2 7 15]) = [1.5; -2; 0.75];
  y = X * w_true + 0.1 * randn(N, 1);
end

% The objective after the initial line and each iteration line of a verbose run.
function f = objective_trace(out)
  tok = regexp(out, '(?:Initial|Iteration[^\n]*) object function = ([^\n,]+)', 'tokens');
  f = cellfun(@(c) str2double(c{1}), tok);
end

function show_weights(w_true, w_fit, names)
  printf("%8s %10s", "feature", "true");
  printf(" %12s", names{:});
  printf("\n");
  for j = 1:numel(w_true)
    printf("%8d %10.4f", j, w_true(j));
    printf(" %12.4f", w_fit(j, :));
    if w_true(j) != 0, printf("  *"); end
    printf("\n");
  end
  printf("%19s", "|w - w_true|");
  printf(" %12.4f", sqrt(sum((w_fit - w_true) .^ 2, 1)));
  printf("\n");
end
