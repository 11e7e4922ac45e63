function test_splitavg()
  % splitavg called from the real host: output, printed lines and errors.
  X = [1 2; 3 4; 5 6];
  y = [1 2 3];

  out = evalc('w = splitavg(X, y, 0.1, 0.5, 1);');
  lines = strsplit(strtrim(out), "\n");
  assert(numel(lines), 4);
  assert(lines{1}, "N=3, D=2, lambda0.500000");
  assert(! isempty(regexp(lines{2}, '^Number of threads = [1-9][0-9]*$', 'once')));
  assert(lines{3}, "Initial object function = 14.000000");
  tok = regexp(lines{4}, '^Final object function = ([0-9.]+), time= ([0-9]+)$', 'tokens', 'once');
  assert(numel(tok), 2);
  assert(tok{1}, sprintf("%f", sum((X * w - y').^2) + 0.5 * sum(abs(w))));
  assert(size(w), [2 1]);

  % With the team of the first line: a one-pass average, never a blow-up on this data.
  assert(all(isfinite(w)));

  % Silent unless verbose is exactly 1; parameters of any real numeric or logical class.
  assert(evalc('splitavg(X, y, 0.1, 0.5, 2);'), "");
  assert(evalc('splitavg(X, y, 0.1, 0.5, 0.99);'), "");
  w = splitavg(X, y, single(0.1), int32(1), false);
  assert(size(w), [2 1]);

  % The seed an unseeded call reports replays its shuffle, whatever verbose is.
  Xl = sin((1:600)' * (1:4) * 0.37);
  yl = cos((1:600)' * 1.3);
  [a, info] = splitavg(Xl, yl, 0.02, 0.01, 0);
  evalc('b = splitavg(Xl, yl, 0.02, 0.01, 1, struct(''seed'', info.seed));');
  assert(a, b);

  % No samples: zeros, and the messages still come.
  out = evalc('w = splitavg(zeros(0, 3), [], 0.1, 0.5, 1);');
  assert(w, zeros(3, 1));
  lines = strsplit(strtrim(out), "\n");
  assert(lines([1 3]), {"N=0, D=3, lambda0.500000", "Initial object function = 0.000000"});
  % The time counts second marks passed, so even a short run may cross one.
  assert(! isempty(regexp(lines{4}, '^Final object function = 0.000000, time= [01]$', 'once')));

  % Bad calls are errors with a splitavg identifier, never a read past the inputs.
  expect_error(@() splitavg([1 2; 3 4], 1, 0.1, 0.5, 0), "splitavg:yTooShort");
  expect_error(@() splitavg(X, y, 0.1, 0.5), "splitavg:notEnoughInputs");
  expect_error(@() splitavg(X, y, 0.1, 0.5, 0, struct(), 1), "splitavg:tooManyInputs");
  expect_error(@() splitavg(X, y, 0.1, 0.5, 0, 1), "splitavg:invalidOptions");
  expect_error(@() splitavg(uint8(X), y, 0.1, 0.5, 0), "splitavg:invalidX");
  expect_error(@() splitavg(sparse(X) * 1i, y, 0.1, 0.5, 0), "splitavg:invalidX");  % a real sparse X is valid
  expect_error(@() splitavg(X, {1, 2, 3}, 0.1, 0.5, 0), "splitavg:invalidY");
  expect_error(@() splitavg(X, y, [], 0.5, 0), "splitavg:invalidParameter");
  expect_error(@() splitavg(X, y, 0.1, "a", 0), "splitavg:invalidParameter");
  try
    [a, b, c] = splitavg(X, y, 0.1, 0.5, 0);
    error("test:noError", "two outputs were accepted");
  catch e
    assert(e.identifier, "splitavg:tooManyOutputs");
  end

  % The help text is there.
  assert(! isempty(strfind(help("splitavg"), "OMP_NUM_THREADS")));
  printf("test_splitavg: all passed\n");
end
