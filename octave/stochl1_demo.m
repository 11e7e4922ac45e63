function stochl1_demo(picture_dir)
  % STOCHL1_DEMO  All three solvers and teamprobe on a synthetic sparse regression.
  %
  %   stochl1_demo()             prints a table: time, objective, error and support found
  %   stochl1_demo(picture_dir)  also writes objective.png, weights.png, averaging.png,
  %                              support.png and path.png there (gnuplot)
  %
  %   The problem: N = 2000 samples of D = 40 correlated features (correlation 0.5^|j-k|),
  %   6 nonzero true weights, label noise of standard deviation 0.5. Every method is asked for
  %   the minimiser of F(w) = sum((X*w - y).^2) + mu*sum(abs(w)) with mu = 200: driftwalk takes
  %   lambda = mu, kinkstep and splitavg, which descend a per-sample objective, lambda = mu/(2N).
  % The demo seeds the session's generators and draws with gnuplot: both are put back at the end.
  saved = {saved_generator(@rand), saved_generator(@randn), graphics_toolkit()};
  put_back = onCleanup(@() restore_session(saved));
  [X, y, w_true] = demo_problem();
  [N, D] = size(X);
  mu = 200;
  lps = mu / (2 * N);
  F = @(w) sum((X * w - y) .^ 2) + mu * sum(abs(w));
  printf("Synthetic problem: N = %d, D = %d correlated features, %d nonzero true weights, noise sd 0.5\n", ...
         N, D, nnz(w_true));
  printf("Objective F(w) = sum((X*w - y).^2) + %g*sum(abs(w)); at the true weights F = %.1f\n\n", mu, F(w_true));

  % Each run twice with the same seed: silent for the time (printing 20 000 progress lines
  % would cost far more than the steps), then printing, for the objective along the run.
  opts = struct("seed", 20261208);
  runs = {
    "kinkstep method 0", 'kinkstep(X, y, 0.002, lps, 20000, 0, %d, opts)';
    "kinkstep method 1", 'kinkstep(X, y, 0.002, lps, 5000, 1, %d, opts)';
    "driftwalk",         'driftwalk(X, y, 2e-4, 10, -0.55, mu, 50, 2000, %d, opts)';
    "splitavg",          'splitavg(X, y, 0.002, lps, %d, opts)'};
  w = zeros(D, rows(runs));
  traces = cell(rows(runs), 1);
  seconds = zeros(rows(runs), 1);
  for k = 1:rows(runs)
    tic;
    w(:, k) = eval(sprintf(runs{k, 2}, 0));
    seconds(k) = toc;
    out = evalc(['w_printed = ' sprintf(runs{k, 2}, 1) ';']);
    traces{k} = objective_trace(out);
  end
  F_star = F(lasso_optimum(X, y, mu));

  printf("%-18s %8s %10s %10s %12s %10s %8s\n", "method", "time s", "F(w)", "F*", "|w - w_true|", ...
         "support", "extra");
  for k = 1:rows(runs)
    found = abs(w(:, k)) > 0.1;
    printf("%-18s %8.3f %10.1f %10.1f %12.4f %6d of %d %8d\n", runs{k, 1}, seconds(k), F(w(:, k)), F_star, ...
           norm(w(:, k) - w_true), nnz(found & w_true != 0), nnz(w_true), nnz(found & w_true == 0));
  end
  printf("(time: a silent run; F*: the minimum of F, by coordinate descent to 1e-12;\n");
  printf(" support: true nonzero weights found with |w| > 0.1; extra: zero weights given |w| > 0.1)\n\n");
  options = options_example(X, y, w_true, mu, F, F_star);
  sparse_example();
  teamprobe();

  if nargin >= 1
    draw_objective(traces(1:3), {"kinkstep method 0 (lambda = mu/2N)", "kinkstep method 1 (lambda = mu/2N)", ...
                                 "driftwalk (lambda = mu)"}, fullfile(picture_dir, "objective.png"));
    draw_weights(w_true, w, runs(:, 1), fullfile(picture_dir, "weights.png"));
    draw_options(options, w_true, picture_dir);
    printf("\nPictures in %s: objective.png, weights.png, averaging.png, support.png, path.png\n", picture_dir);
  end
end

% The options that bring kinkstep close to the optimum: averaging the iterates, at the step
% stochl1_stepsize advises, for runs of increasing length against the last iterate; exact zeros from
% the cumulative and the proximal L1 steps; a path of penalties with warm starts.
function o = options_example(X, y, w_true, mu, F, F_star)
  [N, D] = size(X);
  lps = mu / (2 * N);
  step = stochl1_stepsize(X, "kinkstep");
  o.lengths = [1 2 5 10 20 50] * N;
  o.gap_last = zeros(size(o.lengths));
  o.gap_averaged = zeros(size(o.lengths));
  for k = 1:numel(o.lengths)
    o.gap_last(k) = F(kinkstep(X, y, step, lps, o.lengths(k), 0, 0, struct("seed", k))) / F_star - 1;
    o.gap_averaged(k) = F(kinkstep(X, y, step, lps, o.lengths(k), 0, 0, struct("seed", k, "average", true))) / F_star - 1;
  end
  printf("kinkstep at stochl1_stepsize's step, above the optimum after 1, 2, 5, 10, 20, 50 x N steps:\n");
  printf("  last iterate           %s\n", sprintf("%8.3f%%", 100 * o.gap_last));
  printf("  averaged (second half) %s\n", sprintf("%8.3f%%", 100 * o.gap_averaged));
  o.w_prox = kinkstep(X, y, step, lps, 20 * N, 0, 0, struct("seed", 1, "l1", "prox"));
  o.w_cumulative = kinkstep(X, y, step, lps, 20 * N, 0, 0, struct("seed", 1, "l1", "cumulative", "average", true));
  printf("exact zeros in 20 x N steps: 'prox' %d, 'cumulative' averaged %d (the true weights: %d; F %.2f%% above F*)\n", ...
         nnz(o.w_prox == 0), nnz(o.w_cumulative == 0), nnz(w_true == 0), 100 * (F(o.w_cumulative) / F_star - 1));
  o.lambdas = logspace(log10(20 * lps), log10(lps / 20), 15);
  o.W = stochl1_path(X, y, o.lambdas, "kinkstep", step, 10 * N, 0, struct("seed", 2, "average", true, "l1", "cumulative"));
  printf("stochl1_path over %d penalties: %s nonzero weights\n\n", numel(o.lambdas), sprintf("%d ", sum(o.W != 0)));
end

% A bag of words: 20 000 documents by 50 000 words, about 30 words a document, as word counts in
% a sparse X. A sparse X is held as its nonzeros only, a step costs the words of its document,
% and the weights are those of full(X) bit for bit (checked here on a corner of it).
% A generator as the session uses it: the "state" one, or the old one seeded with "seed" (a draw
% moves only the one in use; both are read before it, so that either can be put back).
function g = saved_generator(generator)
  g.generator = generator;
  g.seed = generator("seed");
  g.state = generator("state");
  generator(1);
  g.uses_state = ! isequal(generator("state"), g.state);
end

function put_back_generator(g)
  if g.uses_state
    g.generator("state", g.state);
  else
    g.generator("seed", g.seed);
  end
end

function restore_session(saved)
  put_back_generator(saved{1});
  put_back_generator(saved{2});
  if ! strcmp(graphics_toolkit(), saved{3})
    try
      graphics_toolkit(saved{3});
    catch
      % A toolkit that cannot start again (no display) is left as gnuplot.
    end
  end
end

function sparse_example()
  rand("state", 7); randn("state", 7);
  docs = 20000; words = 50000;
  X = sparse(randi(docs, 6e5, 1), randi(words, 6e5, 1), 1, docs, words);   % repeats add up to counts
  w_true = sprandn(words, 1, 0.002);
  y = X * w_true + 0.1 * randn(docs, 1);
  step = stochl1_stepsize(X, "kinkstep");
  opts = struct("seed", 1);
  tic;
  w = kinkstep(X, y, step, 1e-5, 10 * docs, 0, 0, opts);
  seconds = toc;
  printf("Sparse X, a bag of words: %d documents x %d words, %d nonzeros (%.1f MB as sparse, %.1f GB full)\n", ...
         docs, words, nnz(X), (12 * nnz(X) + 8 * docs) / 2^20, 8 * docs * words / 2^30);
  printf("kinkstep method 0, %d steps: %.2f s; relative error of X*w: %.3f (of X*0: 1)\n", 10 * docs, seconds, ...
         norm(X * w - y) / norm(y));
  head = X(1:1000, 1:5000);   % 40 MB as full doubles
  same = isequal(kinkstep(head, y(1:1000), step, 1e-5, 5000, 0, 0, opts), ...
                 kinkstep(full(head), y(1:1000), step, 1e-5, 5000, 0, 0, opts));
  printf("the same weights as full(X) on 1000 documents x 5000 words: %s\n\n", ifelse_text(same));
end

function t = ifelse_text(flag)
  if flag
    t = "yes";
  else
    t = "NO";
  end
end

function [X, y, w_true] = demo_problem()
  randn("state", 20261208);
  N = 2000;
  D = 40;
  C = 0.5 .^ abs((1:D) - (1:D)');   % neighbouring features are correlated
  X = randn(N, D) * chol(C);
  w_true = zeros(D, 1);
  w_true([3 8 9 17 25 33]) = [1.5; -2; 1; 0.75; -1; 0.5];
  y = X * w_true + 0.5 * randn(N, 1);
end

% The minimiser of sum((X*w - y).^2) + mu*sum(abs(w)) by cyclic coordinate descent, each
% coordinate set exactly to its soft-thresholded optimum, until no weight moves by 1e-12.
function w = lasso_optimum(X, y, mu)
  D = columns(X);
  w = zeros(D, 1);
  r = y;
  sq = sum(X .^ 2, 1)';
  for sweep = 1:10000
    largest = 0;
    for j = 1:D
      rho = X(:, j)' * r + sq(j) * w(j);
      wj = sign(rho) * max(abs(rho) - mu / 2, 0) / sq(j);
      r = r - X(:, j) * (wj - w(j));
      largest = max(largest, abs(wj - w(j)));
      w(j) = wj;
    end
    if largest < 1e-12
      break;
    end
  end
end

% The objective from the module's own lines: the initial one, then one per iteration.
function f = objective_trace(out)
  tok = regexp(out, '(?:Initial|Iteration[^\n]*) object function = ([^\n,]+)', 'tokens');
  f = cellfun(@(c) str2double(c{1}), tok);
end

% The printed objective uses the lambda each module was given; the modules that descend the
% per-sample objective print it with lambda = mu/(2N), which is what their traces show.
function draw_objective(traces, names, file)
  warning("off", "Octave:gnuplot-graphics", "local");
  graphics_toolkit("gnuplot");
  h = figure("visible", "off");
  colours = {[0 0.45 0.74], [0.85 0.33 0.1], [0.47 0.67 0.19]};
  for k = 1:numel(traces)
    loglog(1:numel(traces{k}), traces{k}, "color", colours{k}, "linewidth", 1.5);
    hold on;
  end
  hold off;
  grid on;
  % Every curve falls from the same start to the right, so the lower left stays empty: room
  % below the lowest value for the legend, which then hides no data.
  lowest = min(cellfun(@min, traces));
  highest = max(cellfun(@max, traces));
  ylim([10 ^ (floor(log10(lowest)) - 2), 10 ^ ceil(log10(highest))]);
  xlabel("iteration (1 = start)");
  ylabel("object function, with its own lambda");
  title("Objective along the run, from the modules' progress lines");
  legend(names, "location", "southwest");
  print(h, file, "-dpng", "-S800,500");
  close(h);
end

% The gap with and without averaging, the zeros of the two L1 steps, the path: three pictures.
function draw_options(o, w_true, folder)
  warning("off", "Octave:gnuplot-graphics", "local");
  graphics_toolkit("gnuplot");
  h = figure("visible", "off");
  loglog(o.lengths, 100 * o.gap_last, "-o", o.lengths, 100 * o.gap_averaged, "-s", "linewidth", 1.5);
  grid on;
  xlim([min(o.lengths) / 1.5, max(o.lengths) * 1.5]);
  ylim([0.1 20]);
  xlabel("steps");
  ylabel("% above the optimum");
  title("kinkstep at stochl1_stepsize's step: the last iterate and the average", "interpreter", "none");
  legend({"last iterate", "averaged (second half)"}, "location", "southwest");
  print(h, fullfile(folder, "averaging.png"), "-dpng", "-S700,450");
  close(h);

  h = figure("visible", "off");
  D = numel(w_true);
  bar(1:D, [w_true, o.w_prox, o.w_cumulative], 1);
  xlim([0 D + 1]);
  ylim([-2.4 1.9]);
  grid on;
  xlabel("feature");
  ylabel("weight");
  title(sprintf("Exact zeros among %d weights: true %d, 'prox' %d, 'cumulative' %d", D, nnz(w_true == 0), ...
                nnz(o.w_prox == 0), nnz(o.w_cumulative == 0)));
  legend({"true", "'prox'", "'cumulative' averaged"}, "location", "southoutside", "orientation", "horizontal");
  print(h, fullfile(folder, "support.png"), "-dpng", "-S700,450");
  close(h);

  h = figure("visible", "off");
  semilogx(o.lambdas, o.W', "linewidth", 1.2);
  grid on;
  xlabel("lambda");
  ylabel("weight");
  title("stochl1_path: the weights along 15 penalties, warm-started", "interpreter", "none");
  print(h, fullfile(folder, "path.png"), "-dpng", "-S700,450");
  close(h);
end

function draw_weights(w_true, w, names, file)
  warning("off", "Octave:gnuplot-graphics", "local");
  graphics_toolkit("gnuplot");
  h = figure("visible", "off");
  D = numel(w_true);
  bar(1:D, [w_true, w], 1);
  grid on;
  xlim([0 D + 1]);
  ylim([-2.4 1.9]);
  xlabel("feature");
  ylabel("weight");
  title("True weights and the weights each method found");
  legend(["true"; names(:)], "location", "southoutside", "orientation", "horizontal");
  print(h, file, "-dpng", "-S900,560");
  close(h);
end
