function e = raised(f)
  % The error that calling f raises; fails the test when f raises none.
  e = [];
  try
    f();
  catch e
  end
  assert(! isempty(e), "no error was raised");
end
