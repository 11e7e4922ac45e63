function test_sparse()
  % A sparse X from the real host: every solver and method gives the weights of full(X), bit for
  % bit, and the same printed lines; a large sparse X runs in the memory of its nonzeros.
  randn("seed", 17); rand("seed", 17);
  X = sprandn(2000, 500, 0.01);
  y = full(X * sprandn(500, 1, 0.1)) + 0.01 * randn(2000, 1);
  opts = struct("seed", 7, "threads", 2);
  same = @(a, b) isequal(size(a), size(b)) && all(typecast(a(:), "uint64") == typecast(b(:), "uint64"));
  calls = {@(A) kinkstep(A, y, 0.01, 1e-3, 20000, 0, 0, opts), ...
           @(A) kinkstep(A, y, 0.01, 1e-3, 300, 1, 0, opts), ...
           @(A) splitavg(A, y, 0.01, 1e-3, 0, opts), ...
           @(A) driftwalk(A, y, 1e-3, 1, -0.55, 1e-3, 50, 100, 0, opts)};
  names = {"kinkstep method 0", "kinkstep method 1", "splitavg", "driftwalk"};
  for k = 1:numel(calls)
    ws = calls{k}(X);
    wf = calls{k}(full(X));
    assert(same(ws, wf), "%s: sparse X and full(X) give different weights", names{k});
    assert(any(ws != 0), "%s: no weight moved", names{k});
  end

  % A sparse logical X is its ones.
  L = X != 0;
  assert(issparse(L) && islogical(L));
  assert(same(kinkstep(L, y, 0.01, 1e-3, 3000, 0, 0, opts), kinkstep(double(full(L)), y, 0.01, 1e-3, 3000, 0, 0, opts)));

  % The same printed lines, the clock and the elapsed seconds aside.
  small = X(1:300, :);
  ys = y(1:300);
  lines = @(text) regexprep(regexprep(text, "clock= \\d+", "clock= #"), "time= \\d+", "time= #");
  verbose = {"kinkstep(A, ys, 0.01, 1e-3, 40, 0, 1, opts);", "kinkstep(A, ys, 0.01, 1e-3, 10, 1, 1, opts);", ...
             "splitavg(A, ys, 0.01, 1e-3, 1, opts);", "driftwalk(A, ys, 1e-3, 1, -0.55, 1e-3, 20, 10, 1, opts);"};
  for k = 1:numel(verbose)
    A = small;
    out_sparse = evalc(verbose{k});
    A = full(small);
    out_full = evalc(verbose{k});
    assert(lines(out_sparse), lines(out_full));
  end

  % A sparse y is taken as full(y); a sparse complex X is refused as before.
  assert(same(kinkstep(X, sparse(y), 0.01, 1e-3, 500, 0, 0, opts), kinkstep(X, y, 0.01, 1e-3, 500, 0, 0, opts)));
  expect_error(@() kinkstep(X * 1i, y, 0.01, 1e-3, 5, 0, 0), "kinkstep:invalidX");
  expect_error(@() splitavg(X * 1i, y, 0.01, 1e-3, 0), "splitavg:invalidX");
  % A NaN among the nonzeros is named as in full(X).
  B = X; [i, j] = find(B, 1); B(i, j) = NaN;
  e_sparse = raised(@() kinkstep(B, y, 0.01, 1e-3, 5, 0, 0));
  e_full = raised(@() kinkstep(full(B), y, 0.01, 1e-3, 5, 0, 0));
  assert(e_sparse.identifier, "kinkstep:nonFiniteData");
  assert(e_sparse.message, e_full.message);

  % Every option keeps the bits of full(X): the weights and the intercept.
  o = struct("seed", 6, "average", true, "l1", "prox", "intercept", true);
  [ws, is] = kinkstep(X, y + 2, 0.01, 1e-3, 3000, 0, 0, o);
  [wf, if_] = kinkstep(full(X), y + 2, 0.01, 1e-3, 3000, 0, 0, o);
  assert(isequal(ws, wf) && isequal(is.intercept, if_.intercept) && isequal(is.objective, if_.objective));
  o.l1 = "cumulative";
  o.passes = 3;
  assert(isequal(splitavg(X, y, 0.01, 1e-3, 0, o), splitavg(full(X), y, 0.01, 1e-3, 0, o)));

  % 200 000 x 50 000 (80 GB as full doubles, 2 * 10^6 nonzeros): the call runs, and the process's
  % peak memory stays far below N * D * 8 bytes.
  X = sprandn(2e5, 5e4, 2e-4);
  y = X * sprandn(5e4, 1, 1e-3) + 0.01 * randn(2e5, 1);
  w = kinkstep(X, y, 0.01, 1e-4, 2e5, 0, 0, struct("seed", 1));
  assert(size(w), [5e4 1]);
  assert(all(isfinite(w)));
  status = fileread("/proc/self/status");
  peak_kb = str2double(regexp(status, "VmHWM:\\s*(\\d+)", "tokens"){1}{1});
  dense_kb = 2e5 * 5e4 * 8 / 1024;
  printf("peak resident memory %.0f MB; X as full doubles would take %.0f MB\n", peak_kb / 1024, dense_kb / 1024);
  assert(peak_kb < dense_kb / 80);
end
