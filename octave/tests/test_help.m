function test_help()
  % help works for every module and its text keeps up with the module: the call it shows and
  % the inputs it describes are the ones the module itself names when called with no inputs.
  for name = {"kinkstep", "driftwalk", "splitavg"}
    name = name{1};
    text = help_of(name);
    try
      feval(name);
      error("test_help:noError", "%s() did not fail", name);
    catch err
      assert(err.identifier, [name ":notEnoughInputs"]);
      call = regexp(err.message, [name '\(([^)]*)\)'], "tokens", "once"){1};
    end
    inputs = strtrim(strsplit(call, ","));
    assert(! isempty(strfind(text, ["w = " name "(" call ")"])), ...
           "%s: the help does not show the call w = %s(%s)", name, name, call);
    for k = 1:numel(inputs)
      % Each input has an entry of its own: the name first on an indented line.
      assert(! isempty(regexp(text, ["\n +" inputs{k} " "], "once")), ...
             "%s: the help does not describe input %s", name, inputs{k});
    end
    % The options struct and the second output.
    assert(! isempty(strfind(text, ["[w, info] = " name "(" call ", opts)"])), "%s: the help does not show opts", name);
    assert(! isempty(regexp(text, "\n +opts ", "once")), "%s: the help does not describe opts", name);
    for field = {"seed", "iterations", "objective", "progress"}
      assert(! isempty(regexp(text, ["\n +(opts|info)\." field{1} " "], "once")), "%s: no word on %s", name, field{1});
    end
    for id = {"notEnoughInputs", "tooManyInputs", "invalidX", "invalidY", "invalidParameter", "outOfMemory", ...
              "invalidOptions", "unknownOption", "invalidOption", "interrupted", "nonFiniteData", ...
              "diverged", "parameterOutOfRange"}
      assert(! isempty(strfind(text, [name ":" id{1}])), "%s: the help does not list %s:%s", name, name, id{1});
    end
    assert(! isempty(strfind(text, "OMP_NUM_THREADS")), "%s: no word on threads", name);
  end

  % How to choose a step, and what users trip on.
  for name = {"kinkstep", "driftwalk", "splitavg"}
    text = help_of(name{1});
    assert(! isempty(strfind(text, ["stochl1_stepsize(X, '" name{1} "')"])), "%s: no safe step", name{1});
    assert(! isempty(strfind(text, "intercept")), "%s: no word on the intercept", name{1});
    assert(! isempty(regexp(text, "exact(ly)? (zeros|0)", "once")), "%s: no word on exact zeros", name{1});
  end
  assert(! isempty(strfind(help_of("kinkstep"), "2/max_i |x_i|^2")));
  assert(! isempty(strfind(help_of("splitavg"), "N/T at least")));
  assert(! isempty(strfind(help_of("driftwalk"), "2 / (N * max_i |x_i|^2)")));
  help_of("stochl1_stepsize");

  % The small print a user needs.
  for name = {"kinkstep", "splitavg"}
    assert(! isempty(strfind(help_of(name{1}), "2*N*lambda")), "%s: the penalty it descends", name{1});
  end
  text = help_of("driftwalk");
  assert(! isempty(strfind(text, "standard deviation is eps_t itself")));
  assert(! isempty(regexp(text, "mean about [-+]?0\\.\\d+ and standard deviation about 0\\.\\d+", "once")));

  text = help_of("teamprobe");
  assert(! isempty(strfind(text, "teamprobe()")));
  assert(! isempty(strfind(text, "OMP_NUM_THREADS")));
end

function text = help_of(name)
  % What `help name` prints, from the .m file beside the compiled module.
  text = evalc(["help " name]);
  assert(! isempty(regexp(text, ["^\\s*" upper(name) "\\s"], "lineanchors", "once")), ...
         "help %s shows no help text:\n%s", name, text);
end
