% KINKSTEP  L1-regularised least squares by stochastic subgradient descent.
%
%   w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
%   [w, info] = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose, opts)
%
%   Fits sparse weights w to the labels y by steps of constant size against one-sample
%   subgradients, and returns w as a D x 1 column. The weights start at zero (opts.w0 starts
%   them elsewhere); there is no stopping test other than maxIter.
%
%   Which objective: each step descends the per-sample objective
%
%       1/2 (X(i,:) * w - y(i))^2 + lambda * sum_j |w(j)|
%
%   Summed over the N samples this is half of
%
%       F(w) = sum_i (X(i,:) * w - y(i))^2 + (2 * N * lambda) * sum_j |w(j)|,
%
%   so kinkstep heads for the minimiser of F with the penalty 2*N*lambda, not lambda. To fit
%   F with a penalty mu, pass lambda = mu / (2*N). The "object function" it prints, though,
%   is F with lambda as given: sum_i (X(i,:) * w - y(i))^2 + lambda * sum_j |w(j)|.
%
%   Inputs
%     X         real double matrix, N samples (rows) by D features (columns): full, or sparse
%               (double or logical; see "Sparse X").
%     y         real double array holding at least N labels; only the first N are used (a
%               matrix, in memory order, with the warning kinkstep:yNotVector).
%     stepSize  step size of every step (first element of a real numeric or logical input),
%               finite; see "Choosing the step size".
%     lambda    weight of the L1 penalty in each per-sample objective (see below).
%               Finite. Of this and every other scalar input only the first element is read.
%     maxIter   number of iterations, truncated toward zero; 0 or less runs none and returns
%               the starting weights (zeros, or opts.w0).
%               NaN, Inf and values outside the 32-bit integer range count as -2^31, with
%               the warning kinkstep:parameterOutOfRange (also for method and verbose).
%     method    truncated toward zero: 0 = sequential, 1 = parallel averaged.
%     verbose   messages are printed only when it is exactly 1 after truncation.
%
%   Output
%     w         D x 1 double column of weights.
%
%   Methods
%     0  Sequential: each iteration draws one sample at random (from a generator seeded with
%        opts.seed, else with a seed of the call's own: two calls never share one, and
%        info.seed reports it), forms its subgradient at the current weights and steps against
%        it.
%     1  Parallel averaged: each iteration runs a team of T OpenMP threads. Thread t reseeds
%        its own generator with (iteration + t), draws one sample and takes one step from the
%        current weights into a candidate of its own; the new weights are the average of the
%        T candidates, summed in thread order. The time plays no part: for a fixed team size
%        the result is reproducible bit for bit. T is the OpenMP runtime's default team size,
%        taken from OMP_NUM_THREADS (the number of processors when unset) once per call;
%        with T = 1 each iteration is one ordinary step. Different T give different results.
%        When other processes keep processors busy at the call, fewer threads compute the T
%        candidates, each taking several in turn: the same w, without waiting on a busy one.
%
%   Threads and reproducibility
%     Method 1 depends only on its inputs and the team size T: the same call with the same
%     T (OMP_NUM_THREADS or opts.threads, within OMP_THREAD_LIMIT; info.threads reports it)
%     returns the same w, bit for bit, on any run. Method 0 steps on the calling thread
%     (OMP_NUM_THREADS plays no part in its result) and depends on its seed: opts.seed (or the
%     info.seed of an unseeded call) replays it bit for bit.
%     Set OMP_NUM_THREADS in the environment before starting Octave or MATLAB; teamprobe()
%     shows the team size the module will get.
%
%   Messages (verbose = 1), shown while the call runs
%     N=<N>, D=<D>, method=<method>, maxIter=<maxIter>
%     Number of threads = <T>                                   (method 1)
%     Initial object function = <F at the start: w = 0, or opts.w0>
%     Iteration <k>, clock= <clock> object function = <F>       (method 0, each iteration)
%     Iteration <k>, object function = <F>                      (method 1, each iteration)
%     Final object function = <F>
%   A method other than 0 and 1 prints
%     Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD
%   whatever verbose is, and raises kinkstep:invalidMethod.
%
%   Choosing the step size
%     A step on sample i changes its residual x_i*w - y_i by the factor 1 - stepSize*|x_i|^2,
%     so it shrinks the residual only while stepSize < 2/|x_i|^2. The steps are stable when
%     stepSize < 2/max_i |x_i|^2 (method 1 averages such steps and keeps the same bound);
%     above it the weights grow without end, to Inf or NaN, and the call warns
%     (kinkstep:diverged). stochl1_stepsize(X, 'kinkstep') returns a quarter of the bound. A
%     constant step never settles: the weights keep jittering around the optimum at a distance
%     that grows with stepSize. Averaging the iterates (opts.average = true) removes most of
%     that jitter: at stochl1_stepsize's step and 20*N steps, runs on five data sets bundled with
%     scikit-learn ended 0.5 % to 1.4 % above the exact optimum (0.6 % to 5 % without
%     averaging; bench/quality). Features of very different sizes force a step small enough for
%     the largest: scale the columns of X first.
%
%   What users trip on
%     No intercept by default: the model is y ~ X*w with no constant term. opts.intercept =
%     true fits one (info.intercept), or centre y and the columns of X first.
%     No exact zeros by default: every subgradient step moves each weight by stepSize times its
%     subgradient entry, so the weights of irrelevant features end jittering around 0, small
%     but seldom exactly 0. opts.l1 = 'cumulative' gives exact zeros: on the bundled data sets,
%     with averaging, it found the optimum's support within a few weights (a bag of words:
%     2 151 nonzero weights where the optimum has 2 039, 0.25 % above its objective). The
%     proximal step (opts.l1 = 'prox') zeroes a weight only while its kicks stay below
%     stepSize*lambda, which the data's noise seldom allows.
%
%   Errors
%     kinkstep:notEnoughInputs, kinkstep:tooManyInputs   fewer than seven inputs, or more than eight (seven and opts)
%     kinkstep:tooManyOutputs    more than two outputs requested
%     kinkstep:invalidX          X is not a real two-dimensional matrix: full double or single, or
%                                sparse double or logical (a sparse complex X is refused)
%     kinkstep:tooLarge          X has more than 2^31 - 1 rows or columns
%     kinkstep:invalidY          y is not a real double or single array (full or sparse double)
%     kinkstep:yTooShort         y holds fewer than N values
%     kinkstep:invalidParameter  a scalar input is empty, complex, sparse, text or a container,
%                                or stepSize or lambda is NaN or infinite
%     kinkstep:nonFiniteData     X or y holds a NaN or an infinity; the message names the first,
%                                e.g. "X(3,2) is NaN" or "y(17) is Inf"
%     kinkstep:invalidMethod     method is neither 0 nor 1
%     kinkstep:emptyData         X has no rows but maxIter asks for iterations
%     kinkstep:threadTeam        (method 1) the team cannot start in this process (more than
%                                1024 threads, their stacks do not fit under ulimit -v,
%                                ulimit -u or the system's memory, or are below 128 KB); the
%                                message says what to lower or raise. Or the runtime gave an iteration fewer threads than the
%                                call started with. No result is returned either way.
%     kinkstep:outOfMemory       the data, the result or the objective history do not fit in
%                                memory (also when the host itself cannot allocate)
%     kinkstep:invalidOptions    opts is not a scalar struct (or [])
%     kinkstep:unknownOption     opts has a field that is not an option of kinkstep
%     kinkstep:invalidOption     an option's value is of the wrong type or range, opts.w0 does
%                                not hold D values, opts.average names a step beyond maxIter
%                                (when maxIter >= 1), 'prox', 'cumulative' or averaging with a
%                                negative stepSize or lambda, or 'cumulative' with method 1
%     kinkstep:interrupted       the user pressed Ctrl-C; no result is returned
%   An error about an integer input names the value as given ("got NaN", "got 2147483648,
%   outside the 32-bit range"), though it is read by the rule above.
%
%   Warnings
%     kinkstep:threadsReduced    (method 1) the runtime gave fewer threads than opts.threads
%                                asked for (OMP_THREAD_LIMIT, OMP_MAX_ACTIVE_LEVELS, a call from
%                                inside a parallel region, or a copy of the session made by
%                                fork); info.threads has the real size
%
%   Warnings (the weights are returned as they are)
%     kinkstep:diverged          the final weights hold a NaN or an infinity: the step size (or,
%                                with opts.w0, the starting weights) is too large for the data
%                                (see "Choosing the step size")
%     kinkstep:parameterOutOfRange  maxIter, method or verbose is NaN, infinite or outside the
%                                32-bit range and reads as -2^31
%
%   Example
%     X = [1 2; 3 4; 5 6]; y = [1 1 1];
%     w = kinkstep(X, y, stochl1_stepsize(X, 'kinkstep'), 0.01, 1000, 1, 1);
%
%   Options and run information
%     opts      optional last input, a scalar struct ([] for none) with the fields
%     opts.seed     a whole number 0 .. 4294967295 used in place of the call's own seed to seed
%                   the random draws, which makes the run reproducible. Method 1 accepts it
%                   (one struct serves both methods) but draws nothing from it: its result
%                   never depends on a seed, and its info.seed is [].
%     opts.threads  the team size, 1 .. 1024, of every OpenMP team of the call, in place of
%                   the runtime's default (OMP_NUM_THREADS; above 1024 an error as well)
%     opts.progress true to keep one line updated while a silent run goes on (default
%                   false: nothing is printed), at most four times a second, for example
%                     kinkstep: 42% (420000 of 1000000 steps), 1.2 s elapsed, about 1.7 s left
%                   ended with a newline when the run finishes, is stopped or fails. On a
%                   terminal (octave-cli, matlab -nodesktop) the line is redrawn in place; where
%                   the process's output is not a terminal (a script piped or logged, MATLAB's
%                   desktop) a plain line is printed at each further 10 % instead. Drawing never
%                   takes more than 1 % of the run's time. With verbose = 1 the per-iteration
%                   lines win and no progress line is drawn.
%                   Method 0 counts steps, method 1 iterations.
%     opts.history  a whole number k >= 1: info.objective also holds the object function after
%                   every k-th iteration (each costs a pass over the rows; 32 bytes each, and a
%                   history the memory cannot hold is an outOfMemory error before the first step)
%     opts.w0       a real vector of D finite values (double or single): the starting weights
%                   in place of zeros (a -0 starts as +0)
%     opts.intercept  true: fit an unpenalised intercept b, y ~ X*w + b. Every residual becomes
%                   (X(i,:)*w + b) - y(i) and every step also moves b by -stepSize times the
%                   residual (method 1: the candidates' b averaged like w). info.intercept
%                   returns b; w stays D x 1.
%     opts.l1       'subgradient' (the default, the step described above), 'prox' or
%                   'cumulative':
%                   'prox'  the data step v = w - stepSize*(c*x_i), then every weight is
%                           soft-thresholded: w(j) = sign(v(j)) * max(|v(j)| - a, 0) with
%                           a = stepSize*lambda, so it reaches exact zeros (+0).
%                   'cumulative' (method 0) the data step, then each weight the sample holds
%                           (x_ij ~= 0) is clipped toward zero by the penalty it has not yet
%                           taken: u, the sum of stepSize*lambda over the steps so far, less q_j,
%                           the penalty it took: w(j) > 0 becomes max(0, w(j) - (u + q_j)),
%                           w(j) < 0 becomes min(0, w(j) + (u - q_j)), and q_j takes the change.
%                           A weight that sits at zero banks its penalty, so sporadic kicks of
%                           the data leave it at zero: the sparsest of the three.
%                   Both take a stepSize and lambda of at least 0.
%     opts.average  true: return the mean of the iterates of the second half of the run
%                   (Polyak-Ruppert averaging; the iterates after steps floor(maxIter/2)+1 ..
%                   maxIter); a whole number s: of the iterates from step s on; false: the
%                   last iterate (the default). Each mean is the exact sum of the iterates
%                   divided by their count, rounded once: iterates that are all x average to x.
%     Any other field, or a value of the wrong type or range, is an error naming the field.
%     With every option at its default the run is the one described above, bit for bit; a
%     sparse X gives the bits of full(X) with every option.
%     info      optional second output, a struct with
%     info.seed        the seed the run used: pass it as opts.seed to replay a time-seeded run
%                      ([] for method 1, which uses no seed)
%     info.threads     the team size (1 for a sequential run)
%     info.iterations  the iterations run (maxIter, or 0 when it is 0 or less)
%     info.time        the wall time of the run in seconds
%     info.objective   the object function at the start and at the end, and after every
%                      opts.history-th iteration; the same values the verbose lines print.
%                      Along the run they are the iterates'; the last is the returned w's
%                      (with opts.average, the average's)
%     info.history_iterations  the iterations done at each value of info.objective (the
%                      verbose line "Iteration k" shows the value after k + 1 iterations;
%                      when opts.history divides maxIter, maxIter comes twice: the last
%                      iterate's value, then the returned w's, equal without opts.average)
%     info.intercept   the intercept (only with opts.intercept)
%     info.average_from, info.averaged  the first step averaged and how many iterates were
%                      (only with opts.average)
%     Asking for info costs two objectives, computed over the rows (at w = 0 from y alone),
%     and one more per history point.
%
%   Sparse X
%     X may be a sparse double or sparse logical matrix (Octave's and MATLAB's sparse). The
%     module then holds only its nonzeros, 12 bytes each (a column index and a value) plus 8
%     bytes a row, never an N x D array (a sparse X at least two-thirds full is held as full
%     rows, which take no more), and a step of method 0 costs the nonzeros of its sample
%     (the L1 term of the features it does not touch is applied when they are next touched,
%     exactly as step by step). Method 1 still costs O(D) per iteration (the average of the
%     candidates touches every weight); only its gradients use the sparse rows.
%     The weights, the printed lines and the random draws are those of the same call with
%     full(X), bit for bit. One exception: once the run has diverged (a weight or a residual
%     is an infinity or NaN), 0 * Inf is NaN in the full call's sums but a zero of the sparse
%     X is skipped, so the two may then differ in which weights are NaN. A sparse y is taken
%     as full(y). For example, a bag of words (documents by words, counts):
%       docs = 2000; words = 5000;
%       X = sparse(randi(docs, 2e4, 1), randi(words, 2e4, 1), 1, docs, words);
%       y = X * sprandn(words, 1, 0.05) + 0.1 * randn(docs, 1);
%       w = kinkstep(X, y, stochl1_stepsize(X, 'kinkstep'), 1e-4, 2e4, 0, 0);
%
%   X and y may also be of class single: they are converted exactly to double, and the result
%   equals that of the call with double(X) and double(y).
%
%   Ctrl-C stops a run within a fraction of a second in every phase (the conversion of X, the
%   steps, the objective history): everything the call holds is released and it ends in the
%   error kinkstep:interrupted.
%
%   See also SPLITAVG, DRIFTWALK, TEAMPROBE.
