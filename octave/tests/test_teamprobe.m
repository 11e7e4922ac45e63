function test_teamprobe()
  % teamprobe in fresh Octave processes with fixed default team sizes.
  here = fileparts(which("teamprobe"));
  for threads = [1 4]
    cmd = sprintf("OMP_NUM_THREADS=%d octave-cli --norc --no-history --quiet --eval \"addpath('%s'); teamprobe(1, 'ignored');\"", threads, here);
    [status, out] = system(cmd);
    assert(status == 0, "%s", out);
    lines = strsplit(strtrim(out), "\n");
    assert(numel(lines) == threads + 1, "%s", out);
    assert(isequal(regexp(lines{1}, '^Number of processors: \d+$', 'once'), 1), "%s", out);
    greetings = sort(lines(2:end));
    expected = sort(arrayfun(@(t) sprintf("Hello World from thread = %d", t), 0:threads-1, "UniformOutput", false));
    assert(greetings, expected, out);
  end

  % Asking for an output is the module's own error, before anything is printed; the session
  % carries on.
  printed = "";
  try
    printed = evalc('x = teamprobe();');
  catch e
  end
  assert(e.identifier, "teamprobe:tooManyOutputs");
  assert(isempty(printed));
  assert(! exist("x", "var"));
  assert(! isempty(evalc('teamprobe();')));
  printf("test_teamprobe: all passed\n");
end
