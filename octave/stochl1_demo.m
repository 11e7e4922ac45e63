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

  show_weights(w_true, w0, "kinkstep m0");
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

function show_weights(w_true, w_fit, name)
  printf("%8s %10s %12s\n", "feature", "true", name);
  for j = 1:numel(w_true)
    mark = "";
    if w_true(j) != 0, mark = " *"; end
    printf("%8d %10.4f %12.4f%s\n", j, w_true(j), w_fit(j), mark);
  end
  printf("error |w - w_true| = %.4f\n", norm(w_fit - w_true));
end
