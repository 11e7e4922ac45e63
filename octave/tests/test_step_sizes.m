function test_step_sizes()
  % The stability bounds the help texts state, checked on data: below the bound the solvers
  % lower their objective and stay finite; above it (on data where the bound is tight) the
  % weights grow without end. stochl1_stepsize advises a quarter of the bound for kinkstep and
  % driftwalk (driftwalk's from the largest singular value of X) and half of it for splitavg.
  randn("state", 7);

  % stochl1_stepsize: 1/(2 max|x_i|^2) for kinkstep, 1/max|x_i|^2 for splitavg, 1/(2 |X|^2) for
  % driftwalk, |X| the largest singular value.
  X = randn(300, 6) .* [1 2 3 0.5 1 4];
  largest = max(sum(X .^ 2, 2));
  assert(stochl1_stepsize(X, "kinkstep"), 1 / (2 * largest), 1e-15 / largest);
  assert(stochl1_stepsize(X, "splitavg"), 1 / largest, 1e-15 / largest);
  assert(stochl1_stepsize(X, "driftwalk"), 1 / (2 * norm(X) ^ 2), 1e-5 / norm(X) ^ 2);
  assert(stochl1_stepsize(sparse(X), "driftwalk"), stochl1_stepsize(X, "driftwalk"), 1e-5 / norm(X) ^ 2);
  assert(stochl1_stepsize(single(X), "kinkstep"), 1 / (2 * max(sum(double(single(X)) .^ 2, 2))), 1e-12);
  assert(stochl1_stepsize(zeros(4, 3), "kinkstep"), 1);
  for bad = {{X, "kinkstp"}, {X, 3}, {[1 NaN], "kinkstep"}, {{1}, "kinkstep"}}
    try
      stochl1_stepsize(bad{1}{:});
      error("test_step_sizes:noError", "stochl1_stepsize accepted a bad call");
    catch e
      assert(strncmp(e.identifier, "stochl1_stepsize:", 17), "unexpected error %s", e.identifier);
    end
  end

  % kinkstep (both methods) and splitavg on rows of equal length r: the one-sample step is
  % stable below 2/r^2, and above it every step grows the error along its sample.
  N = 400;
  D = 5;
  Z = randn(N, D);
  X = 3 * Z ./ sqrt(sum(Z .^ 2, 2));  % every |x_i| = 3, bound 2/9
  w_true = [1; -2; 0; 0.5; 0];
  y = X * w_true;
  bound = 2 / 9;
  assert(stochl1_stepsize(X, "kinkstep"), bound / 4, 1e-12);
  assert(stochl1_stepsize(X, "splitavg"), bound / 2, 1e-12);
  opts = struct("seed", 3, "threads", 2);
  for method = [0 1]
    [w, info] = kinkstep(X, y, 0.9 * bound, 0, 2000, method, 0, opts);
    assert(all(isfinite(w)) && info.objective(end) < 1e-6 * info.objective(1), ...
           "kinkstep method %d at 0.9 of the bound: %g to %g", method, info.objective(1), info.objective(end));
    lastwarn("");
    [w, info] = kinkstep(X, y, 2 * bound, 0, 2000, method, 0, opts);
    assert(! all(isfinite(w)) || info.objective(end) > 1e6 * info.objective(1), ...
           "kinkstep method %d at twice the bound did not grow", method);
  end
  [w, info] = splitavg(X, y, 0.9 * bound, 0, 0, opts);
  assert(all(isfinite(w)) && info.objective(end) < 1e-3 * info.objective(1), "splitavg below the bound");
  [w, info] = splitavg(X, y, 2 * bound, 0, 0, opts);
  assert(! all(isfinite(w)) || info.objective(end) > 1e6 * info.objective(1), "splitavg above the bound");

  % Far above the bound the weights overflow: returned as they are, with a diverged warning.
  lastwarn("");
  w = kinkstep(X, y, 1e6, 0, 1000, 0, 0);
  assert(size(w), [D 1]);
  assert(! all(isfinite(w)));
  [msg, id] = lastwarn();
  assert(id, "kinkstep:diverged");
  assert(! isempty(strfind(msg, "smaller step size")), msg);

  % driftwalk, full batches, constant schedule, on rows that all point the same way (where its
  % bound 2/(N max|x_i|^2) is reached): stable just below it, growing above it.
  N = 200;
  x = [0.6 0.8 0];  % |x| = 1
  X = repmat(x, N, 1);
  y = X * [1; 1; 0];
  bound = 2 / N;
  assert(stochl1_stepsize(X, "driftwalk"), bound / 4, 1e-9);
  [w, info] = driftwalk(X, y, 0.9 * bound, 1, 0, 0, N, 300, 0, struct("seed", 1));
  assert(all(isfinite(w)) && info.objective(end) < 1e-2 * info.objective(1), ...
         "driftwalk at 0.9 of the bound: %g to %g", info.objective(1), info.objective(end));
  [w, info] = driftwalk(X, y, 2 * bound, 1, 0, 0, N, 300, 0, struct("seed", 1));
  assert(! all(isfinite(w)) || info.objective(end) > 1e6 * info.objective(1), "driftwalk above the bound");
  % Mini-batches obey the same bound: the N/batchSize scaling makes up for the smaller batch.
  [w, info] = driftwalk(X, y, 0.9 * bound, 1, 0, 0, 10, 300, 0, struct("seed", 1));
  assert(all(isfinite(w)) && info.objective(end) < 1e-2 * info.objective(1), "driftwalk batches below the bound");

  % A constant step leaves a floor that shrinks with the step: noisy labels, kinkstep method 0.
  randn("state", 8);
  X = randn(2000, 5);
  y = X * [1; -1; 0.5; 0; 0] + 0.5 * randn(2000, 1);
  F = @(w) sum((X * w - y) .^ 2);
  F_ls = F(X \ y);
  big = stochl1_stepsize(X, "kinkstep");
  excess = zeros(1, 2);
  for s = 1:8
    excess(1) += F(kinkstep(X, y, big, 0, 20000, 0, 0, struct("seed", s))) - F_ls;
    excess(2) += F(kinkstep(X, y, big / 10, 0, 20000, 0, 0, struct("seed", s))) - F_ls;
  end
  assert(excess(2) < excess(1) / 3, "the floor did not shrink with the step: %g, %g", excess(1), excess(2));

  % Rows whose squared lengths underflow are not zero rows: the step follows their lengths (scaled
  % while it is computed), and one beyond the largest double is an error rather than Inf or 1.
  for module = {"kinkstep", "splitavg", "driftwalk"}
    base = [1 0; 0 2; 0 0];
    expected = stochl1_stepsize(base, module{1}) / 5e-155 / 5e-155;  % squares of 5e-155 underflow
    assert(stochl1_stepsize(base * 5e-155, module{1}), expected, 1e-6 * expected);  % normest: 1e-6
    assert(stochl1_stepsize(sparse(base * 5e-155), module{1}), expected, 1e-6 * expected);
    for small = [1e-160 1e-170 1e-320]
      expect_error(@() stochl1_stepsize(base * small, module{1}), "stochl1_stepsize:dataTooSmall");
    end
    % Long rows: the step follows their lengths while it is a normal double; below that (squares
    % near or beyond the largest double) it is an error, not a NaN or an infinity in X, which is
    % another error, full or sparse.
    expected = stochl1_stepsize(base, module{1}) / 1e150 / 1e150;
    assert(stochl1_stepsize(base * 1e150, module{1}), expected, 1e-6 * expected);
    assert(stochl1_stepsize(sparse(base * 1e150), module{1}), expected, 1e-6 * expected);
    for large = [1e154 1e155 1e300]
      expect_error(@() stochl1_stepsize(base * large, module{1}), "stochl1_stepsize:dataTooLarge");
    end
    try
      stochl1_stepsize(realmax * ones(2), module{1});
    catch e
      assert(! isempty(strfind(e.message, " beyond the largest double")), e.message);
    end
    expect_error(@() stochl1_stepsize([base; 1e300 Inf], module{1}), "stochl1_stepsize:nonFiniteData");
    expect_error(@() stochl1_stepsize(sparse([base; NaN 0]), module{1}), "stochl1_stepsize:nonFiniteData");
    % Many rows of a finite length whose |X|^2 overflows: the error, not a norm's endless loop.
    expect_error(@() stochl1_stepsize(1e154 * ones(1000, 1), module{1}), "stochl1_stepsize:dataTooLarge");
    try
      % Rows a one-sample step takes, whose |X|^2 only is too large: driftwalk names |X|.
      stochl1_stepsize(1e152 * ones(20000, 1), module{1});
      assert(! strcmp(module{1}, "driftwalk"), "driftwalk took |X|^2 beyond the largest double");
    catch e
      assert(strcmp(module{1}, "driftwalk") && ! isempty(strfind(e.message, "its largest singular value 1.41421e+154")), ...
             e.message);
    end
    expect_error(@() stochl1_stepsize(2.5e153 * randn(200, 7), module{1}), "stochl1_stepsize:dataTooLarge");
    % The session's generators are left as they were, in either of rand's modes.
    for mode = {"seed", "state"}
      rand(mode{1}, 42);
      expected = rand(3, 1);
      rand(mode{1}, 42);
      stochl1_stepsize(randn(50, 3), module{1});
      assert(rand(3, 1), expected);
    end
  end

  % driftwalk's norm on sign patterns a start of equal entries would miss, a row, and a matrix
  % whose two largest singular values are close (where the power method stops early): the estimate
  % never exceeds |X|, so the step is never below 1/(2 |X|^2).
  cases = {[1 -1; -1 1], 1e-5; [1 -1], 1e-5; [2 -2 1; -2 2 -1], 1e-5; orth(randn(3)) * diag([1 0.999 0.5]), 1e-2};
  for k = 1:rows(cases)
    exact = 1 / (2 * norm(cases{k, 1}) ^ 2);
    step = stochl1_stepsize(cases{k, 1}, "driftwalk");
    assert(step >= exact * (1 - 1e-12) && step <= exact * (1 + cases{k, 2}), "case %d: %.17g for %.17g", k, step, exact);
  end
end
