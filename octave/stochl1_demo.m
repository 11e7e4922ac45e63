function stochl1_demo(picture_dir)
  % STOCHL1_DEMO  All three solvers and teamprobe on a synthetic sparse regression.
  %
  %   stochl1_demo()             prints a table: time, objective, error and support found
  %   stochl1_demo(picture_dir)  also writes objective.png, weights.png, averaging.png,
  %                              support.png and path.png in that existing folder (gnuplot),
  %                              each replacing a file of its name there
  %
  %   The problem: N = 2000 samples of D = 40 correlated features (correlation 0.5^|j-k|),
  %   6 nonzero true weights, label noise of standard deviation 0.5. Every method is asked for
  %   the minimiser of F(w) = sum((X*w - y).^2) + mu*sum(abs(w)) with mu = 200: driftwalk takes
  %   lambda = mu, kinkstep and splitavg, which descend a per-sample objective, lambda = mu/(2N).
  % The folder is checked before the work that comes before its pictures.
  if nargin >= 1
    if ! (ischar(picture_dir) && rows(picture_dir) == 1 && isfolder(picture_dir))
      error("stochl1_demo:invalidFolder", "stochl1_demo: picture_dir must name an existing folder (\".\" for this one)");
    end
    picture_dir = tilde_expand(picture_dir);  % as isfolder read it (unlink would not expand ~)
  end
  % The demo seeds the session's generators and draws with gnuplot: both are put back at the end,
  % and so is the current figure (closing the demo's own makes another current).
  saved = {saved_generator(@rand), saved_generator(@randn), graphics_toolkit(), get(0, "currentfigure")};
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
  if ! isempty(saved{4}) && isfigure(saved{4})
    set(0, "currentfigure", saved{4});
  end
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
  closing = onCleanup(@() close_if_open(h));
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
  save_picture(h, file, "-S800,500");
end

% The gap with and without averaging, the zeros of the two L1 steps, the path: three pictures.
function draw_options(o, w_true, folder)
  % Each figure is closed when the function ends, however it ends: a handle's number is used
  % again once its figure is closed, so none is closed by number before then.
  warning("off", "Octave:gnuplot-graphics", "local");
  graphics_toolkit("gnuplot");
  h = figure("visible", "off");
  closing_averaging = onCleanup(@() close_if_open(h));
  loglog(o.lengths, 100 * o.gap_last, "-o", o.lengths, 100 * o.gap_averaged, "-s", "linewidth", 1.5);
  grid on;
  xlim([min(o.lengths) / 1.5, max(o.lengths) * 1.5]);
  ylim([0.1 20]);
  xlabel("steps");
  ylabel("% above the optimum");
  title("kinkstep at stochl1_stepsize's step: the last iterate and the average", "interpreter", "none");
  legend({"last iterate", "averaged (second half)"}, "location", "southwest");
  save_picture(h, fullfile(folder, "averaging.png"), "-S700,450");

  h = figure("visible", "off");
  closing_support = onCleanup(@() close_if_open(h));
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
  save_picture(h, fullfile(folder, "support.png"), "-S700,450");

  h = figure("visible", "off");
  closing_path = onCleanup(@() close_if_open(h));
  semilogx(o.lambdas, o.W', "linewidth", 1.2);
  grid on;
  xlabel("lambda");
  ylabel("weight");
  title("stochl1_path: the weights along 15 penalties, warm-started", "interpreter", "none");
  save_picture(h, fullfile(folder, "path.png"), "-S700,450");
end

function draw_weights(w_true, w, names, file)
  warning("off", "Octave:gnuplot-graphics", "local");
  graphics_toolkit("gnuplot");
  h = figure("visible", "off");
  closing = onCleanup(@() close_if_open(h));
  D = numel(w_true);
  bar(1:D, [w_true, w], 1);
  grid on;
  xlim([0 D + 1]);
  ylim([-2.4 1.9]);
  xlabel("feature");
  ylabel("weight");
  title("True weights and the weights each method found");
  legend(["true"; names(:)], "location", "southoutside", "orientation", "horizontal");
  save_picture(h, file, "-S900,560");
end

function close_if_open(h)
  if isfigure(h)
    close(h);
  end
end

% print hands file names to a shell (gnuplot's pictures go through Ghostscript, from an EPS file of
% its own in TMPDIR), which would read $, `, " and \ and blanks in them as its own: the picture is
% drawn under a plain name in a plain temporary folder, with TMPDIR set to that folder for print's
% own file, then copied beside its place and renamed onto it. The folder's name is only ever used
% as a name, and the picture in place is a whole one.
function save_picture(h, file, size_option)
  plain = plain_temporary_folder();
  staging = [tempname(plain, "stochl1-demo-"), ".png"];
  removal = onCleanup(@() remove_if_there(staging));
  tmpdir = getenv("TMPDIR");
  if ! strcmp(tmpdir, plain)
    put_back = onCleanup(@() restore_tmpdir(tmpdir));  % first: no moment with TMPDIR changed and no way back
    setenv("TMPDIR", plain);
  end
  print(h, staging, "-dpng", size_option);
  [folder, name, ext] = fileparts(file);
  partial = tempname(folder, ["." name ext "."]);
  removal_beside = onCleanup(@() remove_if_there(partial));
  [from, msg] = fopen(staging, "r");
  if from < 0
    error("stochl1_demo:cannotWrite", "stochl1_demo: print wrote no picture for %s: %s", file, msg);
  end
  bytes = fread(from, Inf, "*uint8");
  fclose(from);
  [to, msg] = fopen(partial, "w");
  if to < 0
    error("stochl1_demo:cannotWrite", "stochl1_demo: cannot write in %s: %s", folder, msg);
  end
  written = fwrite(to, bytes);
  if fclose(to) != 0 || written != numel(bytes)
    error("stochl1_demo:cannotWrite", "stochl1_demo: cannot write in %s", folder);
  end
  [err, msg] = rename(partial, file);
  if err
    error("stochl1_demo:cannotWrite", "stochl1_demo: cannot write %s: %s", file, msg);
  end
end

% An empty TMPDIR is as good as none.
function restore_tmpdir(tmpdir)
  if isempty(tmpdir)
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", tmpdir);
  end
end

% The temporary folder, where its name is one the shell reads as it is; /tmp where it is not.
function folder = plain_temporary_folder()
  folder = tempdir();
  if isempty(regexp(folder, '^/[A-Za-z0-9_./+-]*$', "once"))
    folder = "/tmp";
  end
end

% unlink, not delete: delete expands * and [ in a name.
function remove_if_there(file)
  [~, err] = stat(file);
  if err == 0
    unlink(file);
  end
end
