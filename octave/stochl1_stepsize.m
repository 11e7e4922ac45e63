function step = stochl1_stepsize(X, module)
  % STOCHL1_STEPSIZE  The step size to start with for a solver on the data X.
  %
  %   step = stochl1_stepsize(X, module)
  %
  %   module is "kinkstep", "splitavg" or "driftwalk". The advice comes from runs on the data sets
  %   bundled with scikit-learn (diabetes, boston, breast cancer, wine, digits: columns
  %   standardised; a bag of words of 80 410 documents x 69 302 words, rows of unit length), each
  %   against its exact lasso optimum (bench/quality):
  %
  %   kinkstep    1 / (2 max_i |x_i|^2), a quarter of the largest stable step 2 / max_i |x_i|^2
  %               (one step on sample i scales its residual by 1 - stepSize |x_i|^2). With
  %               opts.average = true and 20 N steps the runs ended 0.5 % to 1.4 % above the
  %               optimum (opts.l1 = 'cumulative': 0.04 % to 1.3 %, with the optimum's support
  %               nearly exactly; the bag of words 0.25 %). Without averaging the last iterate
  %               jitters around the optimum: 0.6 % to 5 % at this step, and a smaller step ends
  %               closer but needs more steps. The same step suits method 1.
  %   splitavg    1 / max_i |x_i|^2. With opts.average = true and opts.passes = 10 the runs ended
  %               0.8 % to 2 % above the optimum; one pass alone ends 2 % to 40 % above it.
  %   driftwalk   1 / (2 |X|^2), |X| the largest singular value of X (the power method from a
  %               fixed start, to a relative change of 1e-6, as normest; the session's random
  %               generators are not touched): a quarter of the
  %               largest stable step of the full gradient, which a mini-batch estimates. It
  %               bounds eps_t = stepScale*(t + stepOffset)^stepPower at its largest, t = 0 for a
  %               decaying schedule: pass stepScale = step / stepOffset^stepPower. With
  %               stepOffset = 10, stepPower = -0.55, batchSize = 10 and 2 N iterations the last
  %               sample ended 0.4 % to 1.6 % above the optimum (driftwalk samples around it: a
  %               sample's distance grows with the noise of the schedule). The largest row, the
  %               bound of the one-sample steps, was 3 to 60 times too small here.
  %
  %   When every row of X is zero any step is stable and step is 1. The power method, like
  %   normest, can stay below |X| on an X built so that its leading singular direction is
  %   orthogonal to the start (the step is then larger); it does not on measured data.
  %
  %   Errors
  %     stochl1_stepsize:notEnoughInputs  not called with X and module
  %     stochl1_stepsize:invalidX         X is not a real numeric or logical N x D matrix
  %     stochl1_stepsize:invalidModule    module is not "kinkstep", "splitavg" or "driftwalk"
  %     stochl1_stepsize:nonFiniteData    X holds a NaN or an infinity
  %     stochl1_stepsize:dataTooSmall     rows so short (for driftwalk |X| so small) that the
  %                                       step would exceed the largest double (scale X up first)
  %     stochl1_stepsize:dataTooLarge     rows so long (for driftwalk |X| so large) that the step
  %                                       would fall below the smallest normal double, 2.2e-308
  %                                       (scale X down first)
  %
  %   Example
  %     X = randn(1000, 10); y = X * [2; 0; 0; -1; zeros(6, 1)] + 0.1 * randn(1000, 1);
  %     w = kinkstep(X, y, stochl1_stepsize(X, 'kinkstep'), 1e-3, 20000, 0, 0, ...
  %                  struct('average', true, 'l1', 'cumulative'));
  %
  %   See also KINKSTEP, SPLITAVG, DRIFTWALK.

  % Plain MATLAB syntax: the helper runs under MATLAB as well as Octave.
  if nargin ~= 2
    error('stochl1_stepsize:notEnoughInputs', 'stochl1_stepsize: call it as stochl1_stepsize(X, module)');
  end
  if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
    error('stochl1_stepsize:invalidX', 'stochl1_stepsize: X must be a real N x D matrix');
  end
  modules = {'kinkstep', 'splitavg', 'driftwalk'};
  if ~ischar(module) || ~any(strcmp(module, modules))
    error('stochl1_stepsize:invalidModule', ...
          'stochl1_stepsize: module must be kinkstep, splitavg or driftwalk');
  end
  % One pass, column by column: the squared length of every row.
  [largest, finite] = largest_row(X);
  if ~finite && ~all(isfinite(nonzeros(X)))
    error('stochl1_stepsize:nonFiniteData', 'stochl1_stepsize: X holds a NaN or an infinity');
  end
  scale = 1;
  if ~finite || (largest < realmin && nnz(X) > 0) || (strcmp(module, 'driftwalk') && largest > 0)
    % The squares of huge values overflow (and the step is then below realmin: the error below) and
    % those of tiny ones underflow: the lengths of X scaled to a largest value of 1, and the step
    % scaled back (the advice is the same; only the arithmetic avoids the overflow or underflow).
    % |X|^2 can overflow where every row's length is finite: driftwalk's norm is always taken so.
    scale = full(max(abs(double(X(:)))));
    largest = largest_row(double(X) / scale);
  end
  % What the step follows, for the errors below: the longest row, or for driftwalk |X|.
  size_of = sqrt(largest);
  size_words = {'the rows of X are so', 'the longest'};
  if largest == 0
    step = 1;
  elseif strcmp(module, 'driftwalk')
    size_of = largest_singular_value(double(X) / scale);
    size_words = {'X is so', 'its largest singular value'};
    step = 1 / (2 * size_of ^ 2) / scale / scale;
  elseif strcmp(module, 'kinkstep')
    step = 1 / (2 * largest) / scale / scale;
  else
    step = 1 / largest / scale / scale;
  end
  if step < realmin
    measured = size_of * scale;
    if isinf(measured)
      measured = 'beyond the largest double';
    else
      measured = sprintf('%g', measured);
    end
    error('stochl1_stepsize:dataTooLarge', ...
          ['stochl1_stepsize: %s large (%s %s) that the step it allows is below the smallest normal ' ...
           'double; scale X down first (for example X / max(abs(X(:))))'], size_words{1}, size_words{2}, measured);
  end
  if ~isfinite(step)
    error('stochl1_stepsize:dataTooSmall', ...
          ['stochl1_stepsize: %s small (%s %g) that the step it allows exceeds the largest double; ' ...
           'scale X up first (for example X / max(abs(X(:))))'], size_words{1}, size_words{2}, size_of * scale);
  end
end

% The largest squared length of a row of X, and whether every length is finite.
function [largest, finite] = largest_row(X)
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
  finite = all(isfinite(lengths));
end

% The largest singular value of A (its largest entry 1 in size here, so that no sum of squares
% overflows): the power method on A'A, to a relative change of 1e-6 as normest. Octave's normest
% starts from a draw of rand, which switches a session that uses rand('seed') to the other
% generator, and MATLAB's from another vector; this start is fixed, the same on both, and spread
% over the columns (a Weyl sequence), so that no simple pattern of signs in X is orthogonal to it.
function s = largest_singular_value(A)
  D = size(A, 2);
  y = mod((1:D)' * 0.6180339887498949, 1) + 0.5;
  s = 0;
  while true
    x = A * y;
    if ~any(x)
      % The start lies in the null space of A: start again from its longest column.
      [~, j] = max(full(sum(A .^ 2, 1)));
      y = zeros(D, 1);
      y(j) = 1;
      x = A * y;
    end
    y = A' * (x / norm(x));
    previous = s;
    s = norm(y);
    if abs(s - previous) <= 1e-6 * s
      return;
    end
    y = y / s;
  end
end
