% DRIFTWALK  L1-regularised least squares by stochastic gradient Langevin dynamics.
%
%   w = driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose)
%   [w, info] = driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose, opts)
%
%   Looks for weights w that make
%       F(w) = sum_i (X(i,:) * w - y(i))^2 + lambda * sum_j |w(j)|
%   small. Starting from w = 0, each of maxIter iterations draws a fresh random permutation of
%   the N samples, takes its first batchSize samples as the mini-batch, and forms
%       g = (N / batchSize) * sum over the batch of 2 (x_i * w - y_i) x_i
%   plus lambda * sign(w_k) for every nonzero weight (the penalty is not scaled). With the step
%   size eps_t = stepScale * (t + stepOffset)^stepPower, t = 0, 1, ..., every weight moves to
%       w_k - (eps_t / 2) * g_k - eps_t * z_k
%   with z_k a fresh Gaussian variate per weight and iteration. The result is the last state of
%   the chain, not an average.
%
%   Inputs (scalars may be any real numeric or logical class; only the first element is read):
%     X          N x D real double matrix, one sample per row: full, or sparse (double or
%                logical; see "Sparse X").
%     y          real double vector with at least N values (the first N are the labels; a
%                matrix, in memory order, with the warning driftwalk:yNotVector).
%     stepScale  double, a in eps_t = a * (t + b)^gamma.
%     stepOffset double, b.
%     stepPower  double, gamma, used with its sign (a decaying schedule needs gamma < 0).
%     lambda     double, weight of the L1 penalty.
%     These four must be finite; see "Choosing the step sizes".
%     batchSize  integer (truncated toward zero), samples per mini-batch, 1 .. N.
%     maxIter    integer (truncated toward zero), number of iterations; <= 0 returns the
%                starting weights (zeros, or opts.w0).
%     verbose    integer (truncated toward zero); messages are printed only when it is 1.
%   NaN, Inf and values outside the 32-bit range read as integers become -2147483648, with the
%   warning driftwalk:parameterOutOfRange.
%
%   Output:
%     w          D x 1 double column.
%
%   Messages (verbose = 1), shown while the call runs:
%     N=<N>, D=<D>, maxIter=<maxIter>
%     Initial object function = <F(0)>
%     Iteration <t>, clock= <processor clock ticks>, object function = <F(w) after the step>
%     Final object function = <F(w)>
%
%   Errors (identifier: cause):
%     driftwalk:notEnoughInputs, driftwalk:tooManyInputs  fewer than nine inputs, or more than ten (nine and opts)
%     driftwalk:tooManyOutputs    more than two outputs requested
%     driftwalk:invalidX          X is not a real two-dimensional matrix: full double or single, or
%                                 sparse double or logical (a sparse complex X is refused)
%     driftwalk:tooLarge          X has more than 2147483647 rows or columns
%     driftwalk:invalidY          y is not a real double or single array (full or sparse double)
%     driftwalk:yTooShort         y holds fewer than N values
%     driftwalk:invalidParameter  a scalar input is empty, complex, sparse or not numeric/logical,
%                                 or stepScale, stepOffset, stepPower or lambda is NaN or infinite
%     driftwalk:nonFiniteData     X or y holds a NaN or an infinity; the message names the first,
%                                 e.g. "X(3,2) is NaN" or "y(17) is Inf"
%     driftwalk:emptyData         N = 0 while at least one iteration would run
%     driftwalk:invalidBatchSize  batchSize outside 1 .. N while at least one iteration would run
%     driftwalk:threadTeam        the team cannot start in this process (more than 1024 threads,
%                                 their stacks do not fit under ulimit -v, ulimit -u or the
%                                 system's memory, or are below 128 KB); the message says what
%                                 to lower or raise
%     driftwalk:outOfMemory       the data or the result do not fit in memory
%     driftwalk:invalidOptions    opts is not a scalar struct (or [])
%     driftwalk:unknownOption     opts has a field that is not an option of driftwalk
%     driftwalk:invalidOption     an option's value is of the wrong type or range, or opts.w0
%                                 does not hold D values
%     driftwalk:interrupted       the user pressed Ctrl-C; no result is returned
%
%   Warnings (the weights are returned as they are):
%     driftwalk:diverged          the final weights hold a NaN or an infinity: a step (or, with
%                                 opts.w0, the starting weights) was too large for the data (or
%                                 infinite: stepOffset = 0 with stepPower < 0 makes eps_0 = Inf)
%     driftwalk:parameterOutOfRange  batchSize, maxIter or verbose is NaN, infinite or outside
%                                 the 32-bit range and reads as -2147483648
%     driftwalk:threadsReduced    the runtime gave fewer threads than opts.threads asked for
%                                 (OMP_THREAD_LIMIT, OMP_MAX_ACTIVE_LEVELS, a call from inside a
%                                 parallel region, or a copy of the session made by fork);
%                                 info.threads has the real size
%
%   Choosing the step sizes: an iteration moves w by eps_t * (N/B) * sum over the batch of
%   (x_i * w - y_i) x_i, stable while eps_t * (N/B) * |X_batch' * X_batch| < 2. As
%   |X_batch' * X_batch| <= B * max_i |x_i|^2, every iteration is stable when
%       eps_t < 2 / (N * max_i |x_i|^2)
%   (the bound is reached when the rows point the same way; spread-out rows tolerate more: the
%   mini-batch estimates the full gradient, whose steps are stable while eps_t < 2 / |X|^2,
%   |X| the largest singular value of X).
%   A decaying schedule is largest at t = 0, eps_0 = stepScale * stepOffset^stepPower, so
%   with step = stochl1_stepsize(X, 'driftwalk') (1 / (2 |X|^2)) pass
%   stepScale = step / stepOffset^stepPower. With stepOffset = 10, stepPower = -0.55,
%   batchSize = 10 and 2*N iterations, runs on five data sets bundled with scikit-learn ended
%   0.4 % to 1.6 % above the exact optimum of F (bench/quality). Too large a step makes the
%   weights grow to Inf
%   or NaN (driftwalk:diverged). The noise's standard deviation is eps_t too, so the chain
%   never settles: its spread around the optimum shrinks as eps_t decays, and a constant
%   schedule (stepPower = 0) leaves a floor proportional to eps.
%
%   What users trip on: there is no intercept (centre y and the columns of X first, or append
%   a column of ones to X), and with noise on every weight no weight is ever exactly 0; treat
%   |w(j)| below a threshold as zero to read off a sparse model, or fit the support with
%   kinkstep's opts.l1 = 'cumulative' (help kinkstep).
%
%   Which objective: F as printed, with lambda as given (unlike kinkstep and splitavg).
%
%   Threads and reproducibility: every random value comes from the one generator, in the
%   order above (on a team each thread draws its part of that sequence); the noise variates (one per weight, each a function of its own drawn value),
%   the batch's dot products and each weight's gradient sum (over the batch in batch order)
%   are then shared by a team of OpenMP threads, each piece computed exactly as on one thread.
%   So the result does not depend on the team: any team size, OMP_NUM_THREADS or
%   opts.threads gives the same w bit for bit, and the same printed lines. The team is the
%   OpenMP default (OMP_NUM_THREADS; teamprobe shows it), held to the processors that other
%   processes leave free at the call, or opts.threads; an iteration
%   with D * batchSize + 16 D + 2 N below 16384 runs on the calling thread alone, where
%   starting a team would cost more than it saves. The generator is seeded with opts.seed, else with a seed of the
%   call's own (two calls never share one; info.seed reports it and replays the run). Every
%   iteration takes exactly N + D values of it: N for the
%   permutation, then one per weight for the noise.
%
%   The noise: its standard deviation is eps_t itself, not its square root as in textbook
%   Langevin dynamics. Each variate comes from a subtract-with-carry generator seeded afresh
%   from one generator value r (seed (r + 100) mod 2147483563, 0 replaced by 1) and the polar
%   method, so it is a fixed function of r and only approximately normal: over r = 0 .. 32767
%   the standardised variates have mean about -0.1055 and standard deviation about 0.7639.
%   This module's generator yields r in 0 .. 2147483647; measured over 2e7 of its values the
%   standardised variates have mean about +0.050 and standard deviation about 0.783.
%
%   Example:
%     X = randn(200, 3); y = X * [1; -2; 0.5] + 0.01 * randn(200, 1);
%     step = stochl1_stepsize(X, 'driftwalk');   % eps_0 at t = 0: stepOffset = 1
%     w = driftwalk(X, y, step, 1, -0.3, 0.1, 20, 2000, 0);
%
%   Options and run information
%     opts      optional last input, a scalar struct ([] for none) with the fields
%     opts.seed     a whole number 0 .. 4294967295 used in place of the call's own seed to seed
%                   the random draws, which makes the run reproducible
%     opts.threads  the team size, 1 .. 1024, in place of the OpenMP default; it changes the
%                   speed only, never the result
%     opts.progress true to keep one line updated while a silent run goes on (default
%                   false: nothing is printed), at most four times a second, for example
%                     driftwalk: 42% (4200 of 10000 iterations), 1.2 s elapsed, about 1.7 s left
%                   ended with a newline when the run finishes, is stopped or fails. On a
%                   terminal (octave-cli, matlab -nodesktop) the line is redrawn in place; where
%                   the process's output is not a terminal (a script piped or logged, MATLAB's
%                   desktop) a plain line is printed at each further 10 % instead. Drawing never
%                   takes more than 1 % of the run's time. With verbose = 1 the per-iteration
%                   lines win and no progress line is drawn.
%     opts.history  a whole number k >= 1: info.objective also holds the object function after
%                   every k-th iteration (each costs a pass over the rows; 32 bytes each, and a
%                   history the memory cannot hold is an outOfMemory error before the first step)
%     opts.w0       a real vector of D finite values: the chain starts there in place of zeros
%     Any other field, or a value of the wrong type or range, is an error naming the field.
%     info      optional second output, a struct with
%     info.seed        the seed the run used: pass it as opts.seed to replay the run
%     info.threads     the team size the iterations used (1 when an iteration's work is
%                      below the threshold above, when opts.threads is 1, or when no
%                      iteration runs)
%     info.iterations  the iterations run (maxIter, or 0 when it is 0 or less)
%     info.time        the wall time of the run in seconds
%     info.objective   the object function at the start and at the end, and after every
%                      opts.history-th iteration; the same values the verbose lines print
%     info.history_iterations  the iterations done at each value of info.objective
%
%   Sparse X
%     X may be a sparse double or sparse logical matrix (Octave's and MATLAB's sparse). The
%     module then holds only its nonzeros, 12 bytes each (a column index and a value) plus 8
%     bytes a row, never an N x D array (a sparse X at least two-thirds full is held as full
%     rows, which take no more), and the mini-batch gradient costs the batch's nonzeros.
%     An iteration still costs O(N + D): its permutation and the noise on every weight.
%     The weights, the printed lines and the random draws are those of the same call with
%     full(X), bit for bit. One exception: once the run has diverged (a weight or a residual
%     is an infinity or NaN), 0 * Inf is NaN in the full call's sums but a zero of the sparse
%     X is skipped, so the two may then differ in which weights are NaN. A sparse y is taken
%     as full(y). For example, a bag of words (documents by words, counts):
%       docs = 2000; words = 5000;
%       X = sparse(randi(docs, 2e4, 1), randi(words, 2e4, 1), 1, docs, words);
%       y = X * sprandn(words, 1, 0.05) + 0.1 * randn(docs, 1);
%       w = driftwalk(X, y, stochl1_stepsize(X, 'driftwalk'), 1, -0.55, 1e-4, 100, 200, 0);
%
%   X and y may also be of class single: they are converted exactly to double, and the result
%   equals that of the call with double(X) and double(y).
%
%   Ctrl-C stops a run within a fraction of a second in every phase (the conversion, the
%   permutations, the mini-batch gradients, the objective history): everything the call holds
%   is released and it ends in the error driftwalk:interrupted.
%
%   See also KINKSTEP, SPLITAVG, TEAMPROBE.
