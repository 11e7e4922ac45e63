% SPLITAVG  L1-regularised least squares by one parallel pass of subgradient descent per thread.
%
%   w = splitavg(X, y, stepSize, lambda, verbose)
%   [w, info] = splitavg(X, y, stepSize, lambda, verbose, opts)
%
%   Inputs
%     X         N-by-D real double matrix, one sample per row: full, or sparse (double or
%               logical; see "Sparse X").
%     y         real double vector holding at least N labels; only the first N are used (a
%               matrix, in memory order, with the warning splitavg:yNotVector).
%     stepSize  constant step of every descent step (the first element of a real numeric or
%               logical input, finite); see "Choosing the step size and the team size".
%     lambda    weight of the L1 penalty in each per-sample objective (see below); the first
%               element of a real numeric or logical input, finite.
%     verbose   1 to print progress; any other value (after truncation toward zero) is silent.
%               Of every scalar input only the first element is read; the rest are not checked.
%               NaN, Inf and values outside the 32-bit range read as -2^31 (silent), with the
%               warning splitavg:parameterOutOfRange.
%
%   Output
%     w         D-by-1 double column of weights.
%
%   What it does
%     The samples are first put into one random order (the generator is seeded with
%     opts.seed, else with a seed of the call's own, which info.seed reports). The
%     shuffled samples are cut into one contiguous share per OpenMP thread, the last thread
%     also taking the remainder. Every thread makes one pass over its share, in order, on a
%     weight vector of its own that starts at zero (or at opts.w0), descending the per-sample
%     objective
%         1/2 (x*w - y)^2 + lambda*|w|_1
%     with the constant step stepSize: g = (x*w - y) x' + lambda*sign(w), then w = w - stepSize*g.
%     The result is the plain average of the thread models. When other processes keep
%     processors busy at the call, fewer threads pass the T shares, each taking several in
%     turn: the same w, without waiting on a busy processor.
%
%   Which objective
%     Summed over the N samples the per-sample objective is half of
%         F(w) = sum((X*w - y).^2) + (2*N*lambda) * sum(abs(w)),
%     so splitavg heads for the minimiser of F with the penalty 2*N*lambda, not lambda (to fit
%     F with a penalty mu, pass lambda = mu / (2*N)). The printed "object function" is F with
%     lambda as given. One pass is one look at each sample: it is a quick, rough fit.
%
%   Choosing the step size and the team size
%     A step on sample i changes its residual x_i*w - y_i by the factor 1 - stepSize*|x_i|^2:
%     the steps are stable when stepSize < 2/max_i |x_i|^2. Above it the thread models grow
%     without end, to Inf or NaN, and the call warns (splitavg:diverged).
%     stochl1_stepsize(X, 'splitavg') returns half the bound. A constant step leaves each
%     thread model jittering around the optimum at a distance that grows with stepSize;
%     averaging the T models shrinks that jitter, so up to a point more threads help.
%     But each thread sees only N/T samples, once: when its share is too small its model is
%     still far from the optimum and no averaging mends it. Rule of thumb: keep N/T at least
%     10*D (ten samples per feature in every share). Measured with the step of
%     stochl1_stepsize, on 2000 x 40 random data: excess mean squared error over least
%     squares 0.36 at T = 1, 0.09 at T = 4 and 8 (N/T = 12.5*D and 6.2*D), 1.2 at T = 16
%     (3.1*D), 13.6 at T = 64; on 20000 x 10 it keeps falling to 0.0015 at T = 64
%     (31*D). For a fit close to the optimum, make more passes and average: with
%     opts.passes = 10, opts.average = true and the step of stochl1_stepsize, runs on five data
%     sets bundled with scikit-learn ended 0.8 % to 2 % above the exact optimum, where one pass
%     ends 2 % to 40 % above it (bench/quality).
%
%   What users trip on
%     No intercept by default: the model is y ~ X*w with no constant term. opts.intercept =
%     true fits one (info.intercept), or centre y and the columns of X first.
%     No exact zeros by default: subgradient steps leave the weights of irrelevant features
%     small but seldom exactly 0; opts.l1 = 'cumulative' (or 'prox') gives exact zeros (see
%     help kinkstep).
%
%   Threads and reproducibility
%     The team size T is the OpenMP default, set by OMP_NUM_THREADS before Octave or MATLAB
%     starts (teamprobe() shows it); with one thread this is a sequential pass. w depends on the
%     seed of the shuffle and on T: the same seed (opts.seed, or the info.seed of an unseeded
%     call) and the same T return the same w, bit for bit.
%
%   Messages (verbose = 1 only), in this order, shown while the call runs
%     N=<N>, D=<D>, lambda<lambda>
%     Number of threads = <T>
%     Initial object function = <F at the start: w = 0, or opts.w0>
%     Final object function = <F at w>, time= <whole seconds>
%   where F(w) = sum((X*w - y).^2) + lambda*sum(abs(w)) and the time counts the whole-second
%   marks of the wall clock passed from just after the banner to the final objective.
%
%   Errors
%     splitavg:notEnoughInputs, splitavg:tooManyInputs   fewer than five inputs, or more than six (five and opts)
%     splitavg:tooManyOutputs    more than two outputs requested
%     splitavg:invalidX          X is not a real two-dimensional matrix: full double or single, or
%                                sparse double or logical (a sparse complex X is refused)
%     splitavg:invalidY          y is not a real double or single array (full or sparse double)
%     splitavg:yTooShort         y holds fewer than N values
%     splitavg:tooLarge          X has more than 2^31 - 1 rows or columns
%     splitavg:invalidParameter  stepSize, lambda or verbose is empty or not real numeric or
%                                logical, or the first element of stepSize or lambda is NaN or
%                                infinite
%     splitavg:nonFiniteData     X or y holds a NaN or an infinity; the message names the first,
%                                e.g. "X(3,2) is NaN" or "y(17) is Inf"
%     splitavg:threadTeam        the team cannot start in this process (more than 1024 threads,
%                                their stacks do not fit under ulimit -v, ulimit -u or the
%                                system's memory, or are below 128 KB; the message says what to
%                                lower or raise), or the
%                                runtime gave the pass fewer threads than the first team
%     splitavg:outOfMemory       the data or the thread models do not fit in memory (also when
%                                the host itself cannot allocate)
%     splitavg:invalidOptions    opts is not a scalar struct (or [])
%     splitavg:unknownOption     opts has a field that is not an option of splitavg
%     splitavg:invalidOption     an option's value is of the wrong type or range, opts.w0 does
%                                not hold D values, or 'prox', 'cumulative' or averaging with a
%                                negative stepSize or lambda
%     splitavg:interrupted       the user pressed Ctrl-C; no result is returned
%
%   Warnings (the weights are returned as they are)
%     splitavg:diverged          the final weights hold a NaN or an infinity: the step size (or,
%                                with opts.w0, the starting weights) is too large for the data
%     splitavg:parameterOutOfRange  verbose is NaN, infinite or outside the 32-bit range
%     splitavg:emptyShares       more threads than samples: some shares were empty, and their
%                                zero models are averaged in (the defined result, shrunk by
%                                that fraction); the message gives the count
%     splitavg:averageNotReached  opts.average = s lies beyond the steps of the longest share
%                                (kinkstep refuses such an s): no model averaged anything, each
%                                is its last iterate; the message gives the longest share's steps
%     splitavg:threadsReduced    the runtime gave fewer threads than opts.threads asked for
%                                (OMP_THREAD_LIMIT, OMP_MAX_ACTIVE_LEVELS, a call from inside a
%                                parallel region, or a copy of the session made by fork);
%                                info.threads has the real size
%
%   An X with no rows is valid: w is the starting weights (zeros, or opts.w0) and nothing is
%   drawn.
%
%   Example
%     X = randn(1000, 5); y = X * [1; 0; -2; 0; 0.5];
%     w = splitavg(X, y, stochl1_stepsize(X, 'splitavg'), 0.001, 1);
%
%   Options and run information
%     opts      optional last input, a scalar struct ([] for none) with the fields
%     opts.seed     a whole number 0 .. 4294967295 used in place of the call's own seed to seed
%                   the random draws, which makes the run reproducible
%     opts.threads  the team size, 1 .. 1024, of every OpenMP team of the call, in place of
%                   the runtime's default (OMP_NUM_THREADS)
%     opts.progress true to keep one line updated while a silent run goes on (default
%                   false: nothing is printed), at most four times a second, for example
%                     splitavg: 42% (420000 of 1000000 samples), 1.2 s elapsed, about 1.7 s left
%                   ended with a newline when the run finishes, is stopped or fails. On a
%                   terminal (octave-cli, matlab -nodesktop) the line is redrawn in place; where
%                   the process's output is not a terminal (a script piped or logged, MATLAB's
%                   desktop) a plain line is printed at each further 10 % instead. Drawing never
%                   takes more than 1 % of the run's time. With verbose = 1 the per-iteration
%                   lines win and no progress line is drawn.
%                   It counts the samples all threads have passed in the pass, from the end
%                   of the shuffle on.
%     opts.passes   a whole number k from 1 to 1000000: each thread makes k passes over its
%                   share, each in the same order (the shuffle is one draw), before the models
%                   are averaged
%     opts.w0       a real vector of D finite values: every thread model starts there
%     opts.intercept, opts.l1, opts.average  as in kinkstep (help kinkstep), on each thread
%                   model: its own bias and its own mean of the iterates of the second half of
%                   its passes (or from step s of them); the models' results are then averaged.
%                   An s beyond a share's steps leaves that model its last iterate (with
%                   averageNotReached where it is beyond every share's).
%     Any other field, or a value of the wrong type or range, is an error naming the field.
%     With every option at its default the run is the one described above, bit for bit; a
%     sparse X gives the bits of full(X) with every option.
%     info      optional second output, a struct with
%     info.seed        the seed the run used: pass it as opts.seed to replay the run
%     info.threads     the team size (1 for a sequential run)
%     info.iterations  the passes over the data (opts.passes, else 1)
%     info.time        the wall time of the run in seconds
%     info.objective   the object function at the start and after the passes, the same
%                      values the verbose lines print
%     info.history_iterations  0 and the passes: when each value was taken
%     info.intercept   the intercept (only with opts.intercept)
%     info.average_from, info.averaged  per thread model, the first step averaged and how
%                      many iterates were (only with opts.average)
%
%   Sparse X
%     X may be a sparse double or sparse logical matrix (Octave's and MATLAB's sparse). The
%     module then holds only its nonzeros, 12 bytes each (a column index and a value) plus 8
%     bytes a row, never an N x D array (a sparse X at least two-thirds full is held as full
%     rows, which take no more), and each thread's step costs the nonzeros of its sample
%     (the L1 term of the features it does not touch is applied when they are next touched,
%     exactly as step by step); the shuffle keeps the new order in a table of the samples
%     and leaves the rows where they are.
%     The weights, the printed lines and the random draws are those of the same call with
%     full(X), bit for bit. One exception: once the run has diverged (a weight or a residual
%     is an infinity or NaN), 0 * Inf is NaN in the full call's sums but a zero of the sparse
%     X is skipped, so the two may then differ in which weights are NaN. A sparse y is taken
%     as full(y). For example, a bag of words (documents by words, counts):
%       docs = 2000; words = 5000;
%       X = sparse(randi(docs, 2e4, 1), randi(words, 2e4, 1), 1, docs, words);
%       y = X * sprandn(words, 1, 0.05) + 0.1 * randn(docs, 1);
%       w = splitavg(X, y, stochl1_stepsize(X, 'splitavg'), 1e-4, 0);
%
%   X and y may also be of class single: they are converted exactly to double, and the result
%   equals that of the call with double(X) and double(y).
%
%   Ctrl-C stops a run within a fraction of a second in every phase (the conversion, the
%   shuffle, the objective, the pass): everything the call holds is released and it ends in the
%   error splitavg:interrupted.
%
%   See also KINKSTEP, DRIFTWALK, TEAMPROBE.
