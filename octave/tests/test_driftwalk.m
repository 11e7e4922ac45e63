function test_driftwalk()
  % driftwalk called from the real host: output, printed lines, errors and a fit.
  X = [1 2; 3 4; 5 6];
  y = [1 1 1];

  out = evalc('w = driftwalk(X, y, 0.01, 1, -0.5, 0.5, 2, 0, 1);');
  assert(w, zeros(2, 1));
  assert(strsplit(strtrim(out), "\n"), {"N=3, D=2, maxIter=0", ...
         "Initial object function = 3.000000", "Final object function = 3.000000"});

  % A verbose run prints one line per iteration and ends on the last objective.
  out = evalc('w = driftwalk(X, y, 0.01, 1, -0.5, 0.5, 2, 15, 1);');
  lines = strsplit(strtrim(out), "\n");
  assert(numel(lines), 18);
  assert(! isempty(regexp(lines{3}, '^Iteration 0, clock= \d+, object function = ', 'once')));
  last = regexp(lines{17}, 'object function = .*$', 'match'){1};
  assert(lines{18}, ["Final " last]);
  assert(size(w), [2 1]);
  assert(evalc('driftwalk(X, y, 0.01, 1, -0.5, 0.5, 2, 5, 0);'), "");

  % A bad batchSize is refused before anything is printed or run; NaN, which reads as -2^31,
  % first gives its parameterOutOfRange warning.
  for B = [0, -1, 4, NaN]
    lastwarn("");
    out = evalc('e = raised(@() driftwalk(X, y, 0.01, 1, -0.5, 0.5, B, 10, 1));');
    if isnan(B)
      [text, id] = lastwarn();
      assert(id, "driftwalk:parameterOutOfRange");
      assert(! isempty(strfind(text, "input 7 (batchSize) is NaN")), text);
      assert(without_warnings(out), "");
    else
      assert(out, "");
    end
    assert(e.identifier, "driftwalk:invalidBatchSize");
    assert(! isempty(strfind(e.message, "input 7 (batchSize)")), e.message);
  end
  w = driftwalk(X, y, 0.01, 1, -0.5, 0.5, 0, 0, 0);  % fine when nothing runs
  assert(w, zeros(2, 1));
  expect_error(@() driftwalk(zeros(0, 2), [], 0.01, 1, -0.5, 0.5, 1, 1, 0), "driftwalk:emptyData");
  expect_error(@() driftwalk(X, y, 0.01, 1, -0.5, 0.5, 2, 1), "driftwalk:notEnoughInputs");
  expect_error(@() driftwalk(X, [1 1], 0.01, 1, -0.5, 0.5, 2, 1, 0), "driftwalk:yTooShort");

  % On a well-posed problem the chain settles near the least-squares weights, as kinkstep
  % does with the same penalty (kinkstep's step has no factor 2 and no 1/N: lambda / (2 N)).
  randn("seed", 1);
  A = randn(200, 3);
  b = A * [1; -2; 0.5] + 0.01 * randn(200, 1);
  w = driftwalk(A, b, 0.002, 1, -0.3, 0.1, 20, 2000, 0);
  wk = kinkstep(A, b, 0.003, 0.1 / 400, 20000, 0, 0);
  assert(w, A \ b, 0.02);
  assert(w, wk, 0.05);

  % The same bits from every team: a batch of 300 samples of 60 features is shared out.
  randn("seed", 7);
  X = randn(500, 60);
  y = X * [1; -1; zeros(58, 1)] + 0.1 * randn(500, 1);
  [w1, i1] = driftwalk(X, y, 1e-4, 1, -0.55, 1e-3, 300, 200, 0, struct('seed', 3, 'threads', 1));
  [w2, i2] = driftwalk(X, y, 1e-4, 1, -0.55, 1e-3, 300, 200, 0, struct('seed', 3, 'threads', 2));
  assert(i1.threads, 1);
  assert(i2.threads, 2);
  assert(isequal(w1, w2));
  assert(isequal(i1.objective, i2.objective));
  assert(any(w1 != 0));
  [w3, i3] = driftwalk(X, y, 1e-4, 1, -0.55, 1e-3, 300, 200, 0, struct('seed', 3));  % the default team
  assert(isequal(w3, w1));
  assert(i3.threads >= 1);
  expect_error(@() driftwalk(X, y, 1e-4, 1, -0.55, 1e-3, 100, 2, 0, struct('threads', 0)), "driftwalk:invalidOption");

  assert(! isempty(strfind(help("driftwalk"), "batchSize")));
  printf("test_driftwalk: all passed\n");
end

function rest = without_warnings(out)
  % What a call printed, less Octave's warning lines and their "called from" trace.
  lines = strsplit(out, "\n");
  warning_line = ! cellfun(@isempty, regexp(lines, '^(warning: |\s+\S.* at line \d+ column \d+$)', "once"));
  rest = strjoin(lines(! warning_line), "\n");
end
