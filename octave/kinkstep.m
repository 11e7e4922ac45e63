% KINKSTEP  L1-regularised least squares by stochastic subgradient descent.
%
%   w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
%
%   Fits sparse weights w to the labels y by steps of constant size against one-sample
%   subgradients, and returns w as a D x 1 column. The weights start at zero; there is no
%   stopping test other than maxIter.
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
%     X         real, full double matrix, N samples (rows) by D features (columns).
%     y         real, full double array holding at least N labels; only the first N are used.
%     stepSize  step size of every step (first element of a real numeric or logical input).
%     lambda    weight of the L1 penalty in each per-sample objective (see below).
%               A real numeric or logical scalar, like the other scalar inputs.
%     maxIter   number of iterations, truncated toward zero; 0 or less runs none and returns zeros.
%               NaN, Inf and values outside the 32-bit integer range count as -2^31.
%     method    truncated toward zero: 0 = sequential, 1 = parallel averaged.
%     verbose   messages are printed only when it is exactly 1 after truncation.
%
%   Output
%     w         D x 1 double column of weights.
%
%   Methods
%     0  Sequential: each iteration draws one sample at random (from a generator seeded with
%        the time of the call, in seconds), forms its subgradient at the current weights and
%        steps against it. Two calls in the same second give the same w.
%     1  Parallel averaged: each iteration runs a team of T OpenMP threads. Thread t reseeds
%        its own generator with (iteration + t), draws one sample and takes one step from the
%        current weights into a candidate of its own; the new weights are the average of the
%        T candidates, summed in thread order. The time plays no part: for a fixed team size
%        the result is reproducible bit for bit. T is the OpenMP runtime's default team size,
%        taken from OMP_NUM_THREADS (the number of processors when unset) once per call;
%        with T = 1 each iteration is one ordinary step. Different T give different results.
%
%   Threads and reproducibility
%     Method 1 depends only on its inputs and the team size T: the same call with the same
%     OMP_NUM_THREADS returns the same w, bit for bit, on any run. Method 0 runs on the
%     calling thread (OMP_NUM_THREADS plays no part) and depends on the second of the clock.
%     Set OMP_NUM_THREADS in the environment before starting Octave or MATLAB; teamprobe()
%     shows the team size the module will get.
%
%   Messages (verbose = 1), shown while the call runs
%     N=<N>, D=<D>, method=<method>, maxIter=<maxIter>
%     Number of threads = <T>                                   (method 1)
%     Initial object function = <F at w = 0>
%     Iteration <k>, clock= <clock> object function = <F>       (method 0, each iteration)
%     Iteration <k>, object function = <F>                      (method 1, each iteration)
%     Final object function = <F>
%   A method other than 0 and 1 prints
%     Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD
%   whatever verbose is, and raises kinkstep:invalidMethod.
%
%   Errors
%     kinkstep:notEnoughInputs, kinkstep:tooManyInputs   not exactly seven inputs
%     kinkstep:tooManyOutputs    more than one output requested
%     kinkstep:invalidX          X is not a real, full, two-dimensional double matrix
%     kinkstep:tooLarge          X has more than 2^31 - 1 rows or columns
%     kinkstep:invalidY          y is not a real, full double array
%     kinkstep:yTooShort         y holds fewer than N values
%     kinkstep:invalidParameter  a scalar input is empty, complex, sparse, text or a container
%     kinkstep:invalidMethod     method is neither 0 nor 1
%     kinkstep:emptyData         X has no rows but maxIter asks for iterations
%     kinkstep:threadTeam        (method 1) the OpenMP runtime gave an iteration fewer threads
%                                than the call started with; no result is returned
%     kinkstep:outOfMemory       the data or the result do not fit in memory
%
%   Example
%     X = [1 2; 3 4; 5 6]; y = [1 1 1];
%     w = kinkstep(X, y, 0.1, 0.5, 100, 1, 1);
%
%   See also SPLITAVG, DRIFTWALK, TEAMPROBE.
