function quality(data_dir, out_file)
  % How close the modules get to the exact optimum, on the data sets bench/quality_data.py builds
  % (five dense sets bundled with scikit-learn, columns standardised; a bag of words), at the steps
  % stochl1_stepsize advises; what asking for info costs. Writes the section of RESULTS.md (as
  % markdown lines) to out_file and prints it.
  %   octave-cli --eval "addpath('build/octave'); addpath('bench'); quality('build/quality', 'out.md')"
  warning("off", "all");
  L = {"## Quality against the optimum", "", ...
       "`bench/quality` (data and optima: `bench/quality_data.py`; exact lasso optima by coordinate descent, " ...
       "duality gap below 1e-11). Gap: F(w) / F* - 1 with F(w) = sum((X*w - y).^2) + mu*|w|_1 and " ...
       "lambda = mu / (2N) for kinkstep and splitavg; nnz: exactly nonzero weights. One seed per row. " ...
       "Targets in brackets.", ""};
  sets = {"diabetes", "boston", "breast_cancer", "wine", "digits"};
  L{end + 1} = "| data | N x D | nnz* | kinkstep | + average | + average, prox | + average, cumulative | cumulative | average, prox, intercept | splitavg 1 pass | splitavg average, 10 passes | driftwalk |";
  L{end + 1} = "|---|---|---|---|---|---|---|---|---|---|---|---|";
  for s = 1:numel(sets)
    d = load(fullfile(data_dir, [sets{s} ".mat"]));
    X = d.X; y = d.y; [N, D] = size(X);
    F = @(w) sum((X * w - y) .^ 2) + d.mu * sum(abs(w));
    gap = @(w) 100 * (F(w) / d.F_star - 1);
    k = stochl1_stepsize(X, "kinkstep");
    run = @(o) kinkstep(X, y, k, d.lambda, 20 * N, 0, 0, setfield(o, "seed", 1));
    cell_of = @(w) sprintf("%.2f %% (%d)", gap(w), nnz(w));
    plain = run(struct());
    avg = run(struct("average", true));
    avg_prox = run(struct("average", true, "l1", "prox"));
    avg_cum = run(struct("average", true, "l1", "cumulative"));
    cum = run(struct("l1", "cumulative"));
    [wi, info] = kinkstep(X, y, k, d.lambda, 20 * N, 0, 0, struct("seed", 1, "average", true, "l1", "prox", "intercept", true));
    gap_icpt = 100 * ((sum((X * wi + info.intercept - y) .^ 2) + d.mu * sum(abs(wi))) / d.F_icpt - 1);
    sp = stochl1_stepsize(X, "splitavg");
    one = splitavg(X, y, sp, d.lambda, 0, struct("seed", 1, "threads", 2));
    ten = splitavg(X, y, sp, d.lambda, 0, struct("seed", 1, "threads", 2, "average", true, "passes", 10));
    dw = stochl1_stepsize(X, "driftwalk");
    drift = driftwalk(X, y, dw / 10 ^ -0.55, 10, -0.55, d.mu, 10, 2 * N, 0, struct("seed", 1));
    target = "";
    if any(strcmp(sets{s}, {"diabetes", "digits"}))
      target = {" [1 %]", " [2 %]"};
    elseif strcmp(sets{s}, "breast_cancer")
      target = {" [3 %]", " [2 %]"};
    else
      target = {"", ""};
    end
    L{end + 1} = sprintf("| %s | %d x %d | %d | %s | %s%s | %s%s | %s | %s | %.2f %% | %.2f %% | %.2f %% [3 %%] | %.2f %% |", ...
                         sets{s}, N, D, d.nnz_star, cell_of(plain), cell_of(avg), target{1}, cell_of(avg_prox), ...
                         target{2}, cell_of(avg_cum), cell_of(cum), gap_icpt, gap(one), gap(ten), gap(drift));
  end
  L{end + 1} = "";
  L{end + 1} = ["Columns: kinkstep method 0 at stochl1_stepsize's step (1 / (2 max|x_i|^2)) for 20 N steps, with the " ...
                "options named (gap, and nnz in brackets); \"average, prox, intercept\" against the optimum with an " ...
                "intercept; splitavg at 1 / max|x_i|^2 on 2 threads; driftwalk at 1 / (2 |X|^2), stepOffset 10, " ...
                "stepPower -0.55, batchSize 10, 2 N iterations."];
  L{end + 1} = "";

  % The bag of words: 20 epochs of kinkstep against SGDRegressor's (bench/quality_data.py peer).
  d = load(fullfile(data_dir, "python_bow.mat"));
  X = d.X; y = d.y; [N, D] = size(X);
  F = @(w) sum((X * w - y) .^ 2) + d.mu * sum(abs(w));
  peer = jsondecode(fileread(fullfile(data_dir, "peer.json")));
  L{end + 1} = sprintf("Bag of words (%d documents x %d words, %d nonzeros, nnz* = %d), 20 epochs:", N, D, nnz(X), d.nnz_star);
  L{end + 1} = "";
  L{end + 1} = "| run | step | gap | nnz | s / epoch |";
  L{end + 1} = "|---|---|---|---|---|";
  advised = stochl1_stepsize(X, "kinkstep");
  runs = {"kinkstep", advised, struct();
          "kinkstep, prox [5 %, 2 x nnz*]", advised, struct("l1", "prox");
          "kinkstep, prox, average [3 %]", advised, struct("l1", "prox", "average", true);
          "kinkstep, cumulative", advised, struct("l1", "cumulative");
          "kinkstep, cumulative, average", advised, struct("l1", "cumulative", "average", true);
          "kinkstep, prox", 0.05, struct("l1", "prox");
          "kinkstep, cumulative", 0.05, struct("l1", "cumulative");
          "kinkstep, cumulative, average", 0.05, struct("l1", "cumulative", "average", true)};
  for r = 1:rows(runs)
    o = runs{r, 3};
    o.seed = 1;
    tic;
    w = kinkstep(X, y, runs{r, 2}, d.lambda, 20 * N, 0, 0, o);
    seconds = toc;
    L{end + 1} = sprintf("| %s | %g | %.2f %% | %d | %.3f |", runs{r, 1}, runs{r, 2}, 100 * (F(w) / d.F_star - 1), ...
                         nnz(w), seconds / 20);
  end
  for p = 1:numel(peer.runs)
    q = peer.runs(p);
    L{end + 1} = sprintf("| SGDRegressor (scikit-learn %s), L1 truncated | %g | %.2f %% | %d | %.3f |", ...
                         peer.sklearn, q.eta0, 100 * q.rel_gap, q.nnz, q.seconds_per_epoch);
  end
  L{end + 1} = "";

  % What info costs: w against [w, info], alternating, median of 21 each.
  L{end + 1} = "What asking for info costs (median of 21 alternating calls each) [1.05]:";
  L{end + 1} = "";
  L{end + 1} = "| call | w alone, s | [w, info], s | ratio |";
  L{end + 1} = "|---|---|---|---|";
  d = load(fullfile(data_dir, "digits.mat"));
  cases = {"digits, kinkstep method 0, 50 000 steps", d.X, d.y, stochl1_stepsize(d.X, "kinkstep"), d.lambda, 50000;
           "bag of words, kinkstep method 0, 1 epoch", X, y, advised, peer.lambda, N};
  for c = 1:rows(cases)
    t = zeros(21, 2);
    for k = 1:21
      tic; w = kinkstep(cases{c, 2}, cases{c, 3}, cases{c, 4}, cases{c, 5}, cases{c, 6}, 0, 0, struct("seed", k)); t(k, 1) = toc;
      tic; [w, info] = kinkstep(cases{c, 2}, cases{c, 3}, cases{c, 4}, cases{c, 5}, cases{c, 6}, 0, 0, struct("seed", k)); t(k, 2) = toc;
    end
    m = median(t);
    L{end + 1} = sprintf("| %s | %.5f | %.5f | %.3f |", cases{c, 1}, m(1), m(2), m(2) / m(1));
  end
  L{end + 1} = "";
  text = strjoin(L, "\n");
  printf("%s\n", text);
  fid = fopen(out_file, "w");
  fprintf(fid, "%s\n", text);
  fclose(fid);
end
