function test_kinkstep()
  % kinkstep called from the real host: output, printed lines and errors.
  X = [1 2; 3 4; 5 6];
  y = [1 1 1];

  out = evalc('w = kinkstep(X, y, 0.1, 0.5, 0, 0, 1);');
  assert(w, zeros(2, 1));
  assert(strsplit(strtrim(out), "\n"), {"N=3, D=2, method=0, maxIter=0", ...
         "Initial object function = 3.000000", "Final object function = 3.000000"});

  % A verbose run prints one line per iteration and ends on the last objective.
  out = evalc('w = kinkstep(X, y, 0.01, 0.1, 20, 0, 1);');
  lines = strsplit(strtrim(out), "\n");
  assert(numel(lines), 23);
  assert(strncmp(lines{3}, "Iteration 0, clock= ", 20));
  last = regexp(lines{22}, 'object function = .*$', 'match'){1};
  assert(lines{23}, ["Final " last]);
  assert(size(w), [2 1]);

  % Silent unless verbose is exactly 1; parameters of any real numeric or logical class.
  assert(evalc('kinkstep(X, y, 0.1, 0.5, 5, 0, 2);'), "");
  w = kinkstep(X, y, single(0.1), 0.5, int32(5), false, 0);
  assert(size(w), [2 1]);

  % The seed an unseeded call reports replays its draws, whatever verbose is.
  [a, info] = kinkstep(X, y, 0.1, 0.5, 30, 0, 0);
  evalc('b = kinkstep(X, y, 0.1, 0.5, 30, 0, 1, struct(''seed'', info.seed));');
  assert(a, b);
  assert(any(a != kinkstep(X, y, 0.1, 0.5, 30, 0, 0, struct('seed', info.seed + 1))));

  % Other methods print the method message whatever verbose is, then fail.
  out = evalc('err = raised(@() kinkstep(X, y, 0.1, 0.5, 5, 2, 0));');
  assert(strtrim(out), "Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD");
  assert(err.identifier, "kinkstep:invalidMethod");

  % Bad calls are errors with a kinkstep identifier, never a read past the inputs.
  expect_error(@() kinkstep([1 2; 3 4], 1, 0.1, 0.5, 10, 0, 0), "kinkstep:yTooShort");
  expect_error(@() kinkstep(X, y, 0.1, 0.5), "kinkstep:notEnoughInputs");
  expect_error(@() kinkstep(int32(X), y, 0.1, 0.5, 1, 0, 0), "kinkstep:invalidX");
  expect_error(@() kinkstep(X + 1i, y, 0.1, 0.5, 1, 0, 0), "kinkstep:invalidX");
  expect_error(@() kinkstep(sparse(X) * 1i, y, 0.1, 0.5, 1, 0, 0), "kinkstep:invalidX");  % a real sparse X is valid
  expect_error(@() kinkstep(X, {1, 1, 1}, 0.1, 0.5, 1, 0, 0), "kinkstep:invalidY");
  expect_error(@() kinkstep(X, y, [], 0.5, 1, 0, 0), "kinkstep:invalidParameter");
  expect_error(@() kinkstep(X, y, 0.1, "a", 1, 0, 0), "kinkstep:invalidParameter");
  expect_error(@() kinkstep(zeros(0, 2), [], 0.1, 0.5, 1, 0, 0), "kinkstep:emptyData");
  try
    [a, b, c] = kinkstep(X, y, 0.1, 0.5, 1, 0, 0);
    error("test:noError", "two outputs were accepted");
  catch e
    assert(e.identifier, "kinkstep:tooManyOutputs");
  end

  % And the module still answers correctly afterwards.
  w = kinkstep(X, y, 0.1, 0.5, 0, 0, 0);
  assert(w, zeros(2, 1));
  printf("test_kinkstep: all passed\n");
end
