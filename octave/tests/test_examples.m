function test_examples()
  % Every example in the help texts and in the README runs and converges on its own data:
  % each solver call it makes returns finite weights and ends below the objective it started
  % from. The examples call the modules through stand-ins that record each call's weights and
  % objective history, so the examples run exactly as written.
  global example_calls
  example_calls = {};
  root = fileparts(fileparts(fileparts(mfilename("fullpath"))));
  stand_ins = make_stand_ins();
  % The current folder comes before the path: when it holds the built modules (ctest runs in
  % that folder) they would win over the stand-ins.
  here = pwd();
  cd(stand_ins);
  cleanup = onCleanup(@() remove_stand_ins(stand_ins, here));

  blocks = {};
  for name = {"kinkstep", "driftwalk", "splitavg", "stochl1_stepsize", "stochl1_path"}
    text = fileread(fullfile(root, "octave", [name{1} ".m"]));
    block = help_example(text);
    assert(! isempty(block), "help %s has no example", name{1});
    blocks(end + 1, :) = {["help " name{1}], block};
  end
  readme = readme_examples(fileread(fullfile(root, "README.md")));
  assert(numel(readme) >= 4, "found only %d README examples", numel(readme));
  for k = 1:numel(readme)
    blocks(end + 1, :) = {sprintf("README example %d", k), readme{k}};
  end

  randn("state", 13);
  rand("state", 13);
  for k = 1:rows(blocks)
    before = numel(example_calls);
    run_block(blocks{k, 2});
    assert(numel(example_calls) > before, "%s calls no solver:\n%s", blocks{k, 1}, blocks{k, 2});
    for c = before + 1:numel(example_calls)
      call = example_calls{c};
      assert(all(isfinite(call.w)), "%s: %s returned weights that are not finite", blocks{k, 1}, call.name);
      if call.warm
        % A run from the weights of a nearby problem (stochl1_path) starts near its answer: it must
        % end far below the objective at zero and stay where it started, give or take its noise.
        assert(call.objective(end) < call.at_zero && call.objective(end) < 1.01 * call.objective(1), ...
               "%s: %s from warm weights went from %g to %g (at zero: %g)", blocks{k, 1}, call.name, ...
               call.objective(1), call.objective(end), call.at_zero);
      else
        assert(call.objective(end) < call.objective(1), "%s: %s did not lower its objective (%g to %g)", ...
               blocks{k, 1}, call.name, call.objective(1), call.objective(end));
      end
    end
  end
end

% Runs one example's lines in a workspace of its own, which keeps the variables of the earlier
% README examples (the README's examples build on each other).
function run_block(code)
  persistent workspace
  if isempty(workspace)
    workspace = struct();
  end
  names = fieldnames(workspace);
  for k = 1:numel(names)
    eval([names{k} " = workspace.(names{k});"]);
  end
  evalc(code);
  for v = who()'
    if ! any(strcmp(v{1}, {"code", "names", "k", "workspace"}))
      workspace.(v{1}) = eval(v{1});
    end
  end
end

% The indented lines under "Example" in a help text, up to the next empty comment line.
function code = help_example(text)
  code = "";
  lines = strsplit(text, "\n");
  at = find(! cellfun(@isempty, regexp(lines, '^\s*%\s+Examples?:?\s*$', "once")), 1);
  if isempty(at)
    return;
  end
  for k = at + 1:numel(lines)
    line = regexprep(lines{k}, '^\s*%', "");
    if isempty(strtrim(line))
      break;
    end
    code = [code strtrim(line) "\n"];
  end
end

% The ```octave blocks of the README: lines typed at a prompt (">> ") when a block shows one,
% every line otherwise; addpath lines are left out (the test has its own path).
function blocks = readme_examples(text)
  blocks = {};
  found = regexp(text, '```octave\n(.*?)```', "tokens");
  for k = 1:numel(found)
    lines = strsplit(found{k}{1}, "\n");
    prompted = ! cellfun(@isempty, regexp(lines, '^>> ', "once"));
    if any(prompted)
      lines = regexprep(lines(prompted), '^>> ', "");
    end
    lines = lines(cellfun(@isempty, regexp(lines, '^\s*addpath', "once")));
    blocks{end + 1} = strjoin(lines, "\n");
  end
end

% A folder put first on the path with kinkstep.m, driftwalk.m and splitavg.m that call the
% built modules (copied there under other names), asking each call for its run information.
function folder = make_stand_ins()
  folder = tempname();
  mkdir(folder);
  for name = {"kinkstep", "driftwalk", "splitavg"}
    real = which(name{1});
    assert(! isempty(regexp(real, '\.mex$', "once")), "%s is not the built module: %s", name{1}, real);
    copyfile(real, fullfile(folder, ["built_" name{1} ".mex"]));
    fid = fopen(fullfile(folder, [name{1} ".m"]), "w");
    fprintf(fid, "function varargout = %s(varargin)\n", name{1});
    fprintf(fid, "  %% %s  stand-in that records the call (test_examples)\n", upper(name{1}));
    fprintf(fid, "  [w, info] = built_%s(varargin{:});\n", name{1});
    fprintf(fid, "  global example_calls\n");
    fprintf(fid, "  warm = isstruct(varargin{end}) && isfield(varargin{end}, \"w0\");\n");
    fprintf(fid, "  at_zero = sum(double(varargin{2}(:)) .^ 2);\n");
    fprintf(fid, "  example_calls{end + 1} = struct(\"name\", \"%s\", \"w\", w, \"objective\", info.objective, \"warm\", warm, \"at_zero\", at_zero);\n", name{1});
    fprintf(fid, "  varargout = {w, info}(1:max(nargout, 1));\n");
    fprintf(fid, "end\n");
    fclose(fid);
  end
  addpath(folder);
end

function remove_stand_ins(folder, here)
  cd(here);
  rmpath(folder);
  clear kinkstep driftwalk splitavg;
  confirm_recursive_rmdir(false, "local");
  rmdir(folder, "s");
end
