function step = stochl1_stepsize(X, module)
  % STOCHL1_STEPSIZE  A step size that keeps a solver stable on the data X.
  %
  %   step = stochl1_stepsize(X, module)
  %
  %   Returns half of the largest step size for which the solver's steps cannot grow the error,
  %   from one pass over X (the squared length of every row). module is "kinkstep", "splitavg"
  %   or "driftwalk".
  %
  %   kinkstep, splitavg  One step on sample i moves the residual x_i*w - y_i by the factor
  %               1 - stepSize*|x_i|^2, which shrinks it only while stepSize < 2/|x_i|^2. The
  %               bound for every sample is 2/max_i |x_i|^2; step is 1/max_i |x_i|^2. Pass it as
  %               stepSize. (kinkstep method 1 averages steps that are each stable, so the same
  %               bound holds for it.)
  %   driftwalk   A mini-batch of B samples moves w by eps_t*(N/B)*sum over the batch of
  %               (x_i*w - y_i)*x_i, stable while eps_t*(N/B)*|X_batch'*X_batch| < 2; as
  %               |X_batch'*X_batch| <= B*max_i |x_i|^2 for every batch, eps_t < 2/(N*max_i |x_i|^2)
  %               is enough (and needed when the rows point the same way); step is
  %               1/(N*max_i |x_i|^2). It bounds eps_t = stepScale*(t + stepOffset)^stepPower at its
  %               largest, t = 0 for a decaying schedule: pass
  %               stepScale = step / stepOffset^stepPower.
  %
  %   A constant step leaves the weights jittering around the optimum, at a distance that grows
  %   with the step: smaller steps end closer but need more iterations. When every row of X is
  %   zero any step is stable and step is 1.
  %
  %   Example
  %     X = randn(1000, 10); y = X * [2; 0; 0; -1; zeros(6, 1)] + 0.1 * randn(1000, 1);
  %     w = kinkstep(X, y, stochl1_stepsize(X, 'kinkstep'), 1e-4, 20000, 0, 0);
  %
  %   See also KINKSTEP, SPLITAVG, DRIFTWALK.
  % Plain MATLAB syntax: the helper runs under MATLAB as well as Octave.
  if nargin ~= 2
    error('stochl1_stepsize:notEnoughInputs', 'call it as stochl1_stepsize(X, module)');
  end
  if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
    error('stochl1_stepsize:invalidX', 'X must be a real N x D matrix');
  end
  modules = {'kinkstep', 'splitavg', 'driftwalk'};
  if ~ischar(module) || ~any(strcmp(module, modules))
    error('stochl1_stepsize:invalidModule', 'module must be kinkstep, splitavg or driftwalk');
  end
  % One pass, column by column: the squared length of every row.
  N = size(X, 1);
  if issparse(X)
    % Over the nonzeros only: a loop over the columns would cost N * D.
    lengths = full(sum(double(X) .^ 2, 2));
  else
    lengths = zeros(N, 1);
    for j = 1:size(X, 2)
      lengths = lengths + double(X(:, j)) .^ 2;
    end
  end
  largest = max([lengths; 0]);  % max passes over NaN, hence the test of every length
  if ~all(isfinite(lengths))
    error('stochl1_stepsize:nonFiniteData', 'X holds a NaN or an infinity, or values too large to square');
  end
  if largest == 0
    step = 1;
  elseif strcmp(module, 'driftwalk')
    step = 1 / (N * largest);  % half of 2 / (N * largest)
  else
    step = 1 / largest;        % half of 2 / largest
  end
end
