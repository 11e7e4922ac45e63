function test_path()
  % stochl1_path: each penalty from the largest down, each run from the weights of the one before,
  % the columns in the order given, the same weights as those runs made one by one; bad calls are
  % errors of its own.
  randn("state", 3);
  X = randn(200, 8);
  y = X * [2; -1; 0; 0; 0.5; 0; 0; 0] + 0.1 * randn(200, 1);
  lambdas = [0.01 1 0.1];  % not in order: fitted 1, 0.1, 0.01
  step = stochl1_stepsize(X, "kinkstep");
  opts = struct("seed", 4, "average", true, "l1", "cumulative", "intercept", true);
  [W, path] = stochl1_path(X, y, lambdas, "kinkstep", step, 4000, 0, opts);
  assert(size(W), [8 3]);
  assert(path.lambda, lambdas(:));
  % The same runs by hand: the largest penalty from zero, each next one from the last weights.
  [w1, i1] = kinkstep(X, y, step, 1, 4000, 0, 0, opts);
  opts.w0 = w1;
  [w2, i2] = kinkstep(X, y, step, 0.1, 4000, 0, 0, opts);
  opts.w0 = w2;
  [w3, i3] = kinkstep(X, y, step, 0.01, 4000, 0, 0, opts);
  assert(W, [w3 w1 w2]);
  assert(path.objective, [i3.objective(end); i1.objective(end); i2.objective(end)]);
  assert(path.intercept, [i3.intercept; i1.intercept; i2.intercept]);
  assert(path.nnz, [nnz(w3); nnz(w1); nnz(w2)]);
  assert(path.seed, [4; 4; 4]);
  % A larger penalty leaves fewer weights.
  assert(path.nnz(2) <= path.nnz(1));

  % splitavg and driftwalk take their own inputs; an unseeded path draws a seed per run.
  [W, path] = stochl1_path(X, y, [0.1 0.01], "splitavg", stochl1_stepsize(X, "splitavg"), struct("threads", 2));
  assert(size(W), [8 2]);
  assert(numel(unique(path.seed)), 2);
  [W, path] = stochl1_path(X, y, [10 1], "driftwalk", stochl1_stepsize(X, "driftwalk") / 10 ^ -0.55, 10, -0.55, ...
                           10, 100, struct("seed", 1));
  assert(all(isfinite(W(:))));
  % kinkstep method 1 reports no seed.
  [W, path] = stochl1_path(X, y, 0.1, "kinkstep", step, 50, 1);
  assert(isnan(path.seed));

  expect_error(@() stochl1_path(X, y, [], "kinkstep", step, 10, 0), "stochl1_path:invalidLambdas");
  expect_error(@() stochl1_path(X, y, [1 -1], "kinkstep", step, 10, 0), "stochl1_path:invalidLambdas");
  expect_error(@() stochl1_path(X, y, [1 NaN], "kinkstep", step, 10, 0), "stochl1_path:invalidLambdas");
  % Sparse and logical lists are lists of penalties too, as each module takes such a lambda.
  o = struct("seed", 4);
  assert(isequal(stochl1_path(X, y, sparse([0.1 0.01]), "kinkstep", step, 50, 0, o), ...
                 stochl1_path(X, y, [0.1 0.01], "kinkstep", step, 50, 0, o)));
  assert(isequal(stochl1_path(X, y, [true false], "kinkstep", step, 50, 0, o), ...
                 stochl1_path(X, y, [1 0], "kinkstep", step, 50, 0, o)));
  expect_error(@() stochl1_path(X, y, 1, "lasso", step, 10, 0), "stochl1_path:invalidModule");
  expect_error(@() stochl1_path(X, y, 1, "kinkstep", step, 10), "stochl1_path:wrongInputs");
  expect_error(@() stochl1_path(X, y, 1, "kinkstep", step, 10, 0, 5), "stochl1_path:invalidOptions");
  % [] means no options, as the modules take it: each run then draws a seed of its own.
  [W_empty, path_empty] = stochl1_path(X, y, [0.5 0.1], "kinkstep", step, 10, 0, []);
  assert(isequal(size(W_empty), [columns(X) 2]));
  assert(all(isfinite(path_empty.seed)) && path_empty.seed(1) ~= path_empty.seed(2));
  expect_error(@() stochl1_path(X, y, 1), "stochl1_path:notEnoughInputs");
  % The module's own errors come through.
  expect_error(@() stochl1_path(X, y, 1, "kinkstep", step, 10, 0, struct("w0", [1 2])), "kinkstep:invalidOption");
  % ... and say whose inputs the message numbers.
  try
    stochl1_path(X, y, [0.1 0.01], "kinkstep", NaN, 10, 0);
    error("test_path:noError", "a NaN step was taken");
  catch e
    assert(e.identifier, "kinkstep:invalidParameter");
    prefix = "stochl1_path: the run for lambdas(1) = 0.1: kinkstep: input 3 (stepSize)";
    assert(strncmp(e.message, prefix, numel(prefix)), e.message);
  end
  for bad = {NaN, "yes", [1 1]}
    expect_error(@() stochl1_path(X, y, 1, "kinkstep", step, 10, 0, struct("intercept", bad{1})), "kinkstep:invalidOption");
  end
  % An intercept of false or 0 is none: the path reports none.
  [~, path] = stochl1_path(X, y, [1 0.1], "splitavg", step, struct("seed", 1, "intercept", 0));
  assert(! isfield(path, "intercept"));
  % A run that diverges keeps its column and its warning; the next starts as the first did (from
  % opts.w0, or from zeros), not from its weights.
  big = 100 * stochl1_stepsize(X, "kinkstep");
  for start = {struct("seed", 1), struct("seed", 1, "w0", ones(8, 1))}
    o = start{1};
    warning("off", "kinkstep:diverged");
    [W, path] = stochl1_path(X, y, [1 0.5], "kinkstep", big, 5000, 0, o);
    [w1, i1] = kinkstep(X, y, big, 1, 5000, 0, 0, o);
    [w2, i2] = kinkstep(X, y, big, 0.5, 5000, 0, 0, o);
    warning("on", "kinkstep:diverged");
    assert(any(! isfinite(w1)));
    assert(W, [w1 w2]);
    assert(path.objective, [i1.objective(end); i2.objective(end)]);
  end
  printf("test_path: all passed\n");
end
