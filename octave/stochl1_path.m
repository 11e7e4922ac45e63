function [W, path] = stochl1_path(X, y, lambdas, module, varargin)
  % STOCHL1_PATH  Fits a sequence of penalties, each run starting where the one before ended.
  %
  %   [W, path] = stochl1_path(X, y, lambdas, module, ...)
  %
  %   Fits module ("kinkstep", "splitavg" or "driftwalk") once per penalty in lambdas, from the
  %   largest to the smallest, each run starting from the weights of the run before (opts.w0): the
  %   weights of a large penalty are sparse and close to those of the next, so each run starts near
  %   its answer. After module come the module's inputs without X, y and lambda, then optionally its
  %   options struct:
  %     kinkstep    stochl1_path(X, y, lambdas, "kinkstep", stepSize, maxIter, method[, opts])
  %     splitavg    stochl1_path(X, y, lambdas, "splitavg", stepSize[, opts])
  %     driftwalk   stochl1_path(X, y, lambdas, "driftwalk", stepScale, stepOffset, stepPower,
  %                              batchSize, maxIter[, opts])
  %   The runs are silent. opts.w0 starts the first run; a run that diverged (the module warns)
  %   hands on nothing, and the next starts as the first did. opts.seed, when given, seeds every run;
  %   opts may be [] (no options). With opts.intercept each run fits its intercept from 0 again:
  %   only the weights carry over.
  %
  %   W is D x K, column k the weights for lambdas(k) (in the order given). path is a struct with
  %   K x 1 fields lambda, objective (each run's final objective, as its info reports it), nnz
  %   (nonzero weights), seed (each run's seed, to replay it; NaN for kinkstep method 1, which
  %   draws nothing), and intercept when opts.intercept is true.
  %
  %   Errors
  %     stochl1_path:notEnoughInputs  fewer than X, y, lambdas and module
  %     stochl1_path:invalidModule    module is not "kinkstep", "splitavg" or "driftwalk"
  %     stochl1_path:invalidLambdas   lambdas is not a nonempty vector of finite values >= 0
  %     stochl1_path:wrongInputs      not the module's count of inputs after module
  %     stochl1_path:invalidOptions   the last input is not a scalar struct or []
  %   A run's own error (a bad step size or option) keeps the module's identifier, and its
  %   message is the module's after the position and penalty of that run; it numbers the
  %   inputs as the module does (kinkstep's input 3 is stepSize).
  %
  %   The example chooses lambda on a held-out part of the data.
  %
  %   Example
  %     randn('state', 1);
  %     X = randn(600, 20); y = X * [3; -2; 1.5; zeros(17, 1)] + randn(600, 1);
  %     fit = 1:450; held = 451:600;
  %     lambdas = logspace(0, -3, 12);
  %     step = stochl1_stepsize(X(fit, :), 'kinkstep');
  %     [W, path] = stochl1_path(X(fit, :), y(fit), lambdas, 'kinkstep', step, 20 * 450, 0, ...
  %                              struct('average', true, 'l1', 'cumulative', 'seed', 1));
  %     err = sum((X(held, :) * W - y(held)) .^ 2);
  %     [~, best] = min(err);
  %     fprintf('lambda %g: %d nonzero weights\n', lambdas(best), path.nnz(best));
  %
  %   See also KINKSTEP, SPLITAVG, DRIFTWALK, STOCHL1_STEPSIZE.

  % Plain MATLAB syntax: the helper runs under MATLAB as well as Octave.
  if nargin < 4
    error('stochl1_path:notEnoughInputs', 'stochl1_path: call it as stochl1_path(X, y, lambdas, module, ...)');
  end
  modules = {'kinkstep', 'splitavg', 'driftwalk'};
  scalars = [3, 1, 5];  % the module's inputs after lambda, without verbose
  if ~ischar(module) || ~any(strcmp(module, modules))
    error('stochl1_path:invalidModule', 'stochl1_path: module must be kinkstep, splitavg or driftwalk');
  end
  count = scalars(strcmp(module, modules));
  if ~((isnumeric(lambdas) || islogical(lambdas)) && isreal(lambdas) && ~isempty(lambdas) && ...
       isvector(lambdas) && all(isfinite(lambdas(:))) && all(lambdas(:) >= 0))
    error('stochl1_path:invalidLambdas', ...
          'stochl1_path: lambdas must be a nonempty vector of finite penalties of at least 0');
  end
  lambdas = full(double(lambdas));  % each module takes a full scalar lambda
  if numel(varargin) ~= count && numel(varargin) ~= count + 1
    error('stochl1_path:wrongInputs', ...
          'stochl1_path: %s takes %d inputs after module (without X, y and lambda), then opts', module, count);
  end
  params = varargin(1:count);
  opts = struct();
  if numel(varargin) == count + 1
    opts = varargin{end};
    if isempty(opts) && isnumeric(opts)
      opts = struct();  % [] means no options, as the modules take it
    elseif ~isstruct(opts) || numel(opts) ~= 1
      error('stochl1_path:invalidOptions', 'stochl1_path: the last input must be a scalar struct of options');
    end
  end
  if isfield(opts, 'progress')
    opts = rmfield(opts, 'progress');
  end
  first = opts;  % where the first run starts
  [~, order] = sort(double(lambdas(:)), 'descend');
  K = numel(lambdas);
  W = zeros(size(X, 2), K);
  path = struct('lambda', double(lambdas(:)), 'objective', zeros(K, 1), 'nnz', zeros(K, 1), 'seed', zeros(K, 1));
  for k = order'
    lambda = double(lambdas(k));
    try
      switch module
        case 'kinkstep'
          [w, info] = kinkstep(X, y, params{1}, lambda, params{2}, params{3}, 0, opts);
        case 'splitavg'
          [w, info] = splitavg(X, y, params{1}, lambda, 0, opts);
        otherwise
          [w, info] = driftwalk(X, y, params{1}, params{2}, params{3}, lambda, params{4}, params{5}, 0, opts);
      end
    catch err
      % The module's message numbers its own inputs: say whose they are.
      text = sprintf('stochl1_path: the run for lambdas(%d) = %g: %s', k, lambda, err.message);
      if isempty(err.identifier)
        error('%s', text);
      end
      error(err.identifier, '%s', text);
    end
    W(:, k) = w;
    path.objective(k) = info.objective(end);
    path.nnz(k) = nnz(w);
    if isempty(info.seed)
      path.seed(k) = NaN;
    else
      path.seed(k) = info.seed;
    end
    % The module judges opts.intercept (a bad value is its error) and reports one when it fits one.
    if isfield(info, 'intercept')
      if ~isfield(path, 'intercept')
        path.intercept = zeros(K, 1);
      end
      path.intercept(k) = info.intercept;
    end
    if all(isfinite(w))
      opts.w0 = w;  % the next, smaller penalty starts here
    elseif isfield(first, 'w0')
      opts.w0 = first.w0;  % a run that diverged (it warned) hands on nothing: start as the first did
    elseif isfield(opts, 'w0')
      opts = rmfield(opts, 'w0');
    end
  end
end
