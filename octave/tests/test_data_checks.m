function test_data_checks()
  % In Octave itself: data that cannot give an answer is an error naming the bad value, a
  % non-finite real input an error naming the input, and a diverged run or an integer input
  % that reads as -2^31 a warning that lastwarn holds, with the weights still returned.
  randn("state", 4);
  X = randn(200, 5);
  y = X * [1; 0; -1; 0; 0.5];

  Xbad = X;
  Xbad(3, 2) = NaN;
  out = evalc("e = raised(@() kinkstep(Xbad, y, 0.01, 1e-3, 100, 0, 1));");
  assert(out, "");
  assert(e.identifier, "kinkstep:nonFiniteData");
  assert(! isempty(strfind(e.message, "X(3,2) is NaN")), e.message);
  ybad = y;
  ybad(17) = Inf;
  e = raised(@() splitavg(X, ybad, 0.01, 1e-3, 1));
  assert(e.identifier, "splitavg:nonFiniteData");
  assert(! isempty(strfind(e.message, "y(17) is Inf")), e.message);
  e = raised(@() driftwalk(single(Xbad), y, 1e-4, 1, -0.5, 0, 10, 10, 0));
  assert(e.identifier, "driftwalk:nonFiniteData");
  assert(! isempty(strfind(e.message, "X(3,2) is NaN")), e.message);

  e = raised(@() kinkstep(X, y, Inf, 1e-3, 100, 0, 0));
  assert(e.identifier, "kinkstep:invalidParameter");
  assert(! isempty(strfind(e.message, "input 3 (stepSize)")), e.message);
  e = raised(@() driftwalk(X, y, 1e-4, NaN, -0.5, 0, 10, 10, 0));
  assert(e.identifier, "driftwalk:invalidParameter");
  assert(! isempty(strfind(e.message, "input 4 (stepOffset)")), e.message);

  lastwarn("");
  w = kinkstep(X, y, 1e6, 0, 1000, 0, 0);
  [msg, id] = lastwarn();
  assert(id, "kinkstep:diverged");
  assert(size(w), [5 1]);
  assert(! all(isfinite(w)));

  lastwarn("");
  w = kinkstep(X, y, 0.01, 1e-3, 3e9, 0, 0);
  assert(w, zeros(5, 1));
  [msg, id] = lastwarn();
  assert(id, "kinkstep:parameterOutOfRange");
  assert(! isempty(strfind(msg, "input 5 (maxIter) is 3000000000")), msg);

  % A warning turned into an error stops the call cleanly, and the session goes on.
  warning("error", "kinkstep:diverged");
  unwind_protect
    e = raised(@() kinkstep(X, y, 1e6, 0, 1000, 0, 0));
    assert(e.identifier, "kinkstep:diverged");
  unwind_protect_cleanup
    warning("on", "kinkstep:diverged");
  end_unwind_protect
  w = kinkstep(X, y, stochl1_stepsize(X, "kinkstep"), 1e-3, 2000, 0, 0);
  assert(all(isfinite(w)));
end
