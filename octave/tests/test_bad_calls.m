function test_bad_calls()
  % Hundreds of bad calls in one session: every one raises an error of its module, the good calls
  % afterwards still give the right answers, and the process does not keep growing.
  X = [1 2; 3 4; 5 6];
  y = [1; 1; 1];
  good = {
    "kinkstep",  {X, y, 0.1, 0.5, 5, 0, 0};
    "kinkstep",  {X, y, 0.1, 0.5, 5, 1, 0};
    "driftwalk", {X, y, 0.1, 1, -0.5, 0.5, 2, 5, 0};
    "splitavg",  {X, y, 0.1, 0.5, 0};
  };
  bad_values = {[], "text", {1}, struct("a", 1), 1 + 2i, sparse(1), sparse(1i), int8(X), true(3, 2), ...
                zeros(3, 2, 2), @sin};

  rss_before = 0;
  for round = 1:3
    count = 0;
    for g = 1:rows(good)
      name = good{g, 1};
      args = good{g, 2};
      for k = 1:numel(args)
        for b = 1:numel(bad_values)
          bad = args;
          bad{k} = bad_values{b};
          if k > 2 && (isnumeric(bad{k}) || islogical(bad{k})) && ! isempty(bad{k}) ...
             && isreal(bad{k}) && ! issparse(bad{k})
            continue;  % a real numeric parameter of any class and shape is a valid call
          end
          if k == 1 && strcmp(name, "splitavg") && isa(bad{k}, "double") && isempty(bad{k})
            continue;  % splitavg fits an empty data set: it draws nothing
          end
          if k == 1 && issparse(bad{k}) && isreal(bad{k})
            continue;  % a real sparse X is valid (test_sparse)
          end
          if k == 2 && isa(bad{k}, "double") && isreal(bad{k}) && ! issparse(bad{k}) && numel(bad{k}) >= rows(X)
            continue;  % any real double array with enough values is a valid y
          end
          expect_module_error(name, bad);
          count++;
        end
      end
      expect_module_error(name, args(1:end-1));            % too few inputs
      expect_module_error(name, [args, {0, 0}]);           % too many inputs
      expect_module_error(name, [{X, [1 1]}, args(3:end)]); % y shorter than X
      count += 3;
    end
    if round == 1
      printf("test_bad_calls: %d bad calls per round\n", count);
    end
    % Good calls still work after all that.
    w = kinkstep(X, y, 0.1, 0.5, 0, 0, 0);
    assert(w, zeros(2, 1));
    w = splitavg(zeros(0, 3), [], 0.1, 0.5, 0);
    assert(w, zeros(3, 1));
    w1 = kinkstep(X, y, 0.1, 0.5, 20, 1, 0);
    w2 = kinkstep(X, y, 0.1, 0.5, 20, 1, 0);
    assert(w1, w2);  % method 1 does not depend on the clock
    if round == 1
      rss_before = resident_kb();
    end
  end
  rss_after = resident_kb();
  printf("test_bad_calls: resident memory %d kB after the first round, %d kB after the third\n", ...
         rss_before, rss_after);
  assert(rss_after - rss_before < 20000, "resident memory kept growing");
  printf("test_bad_calls: all passed\n");
end

function expect_module_error(name, args)
  try
    evalc("feval(name, args{:});");
  catch e
    assert(strncmp(e.identifier, [name ":"], numel(name) + 1), ...
           sprintf("%s raised '%s': %s", name, e.identifier, e.message));
    return;
  end
  error("test:noError", "%s accepted a bad call: %s", name, disp(cellfun(@class, args, "UniformOutput", false)));
end

function kb = resident_kb()
  text = fileread("/proc/self/status");
  kb = str2double(regexp(text, 'VmRSS:\s*(\d+)', 'tokens'){1}{1});
end
