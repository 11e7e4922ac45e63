function test_build_script()
  % build.m, the MATLAB-style build, under Octave: it builds all four modules with
  % mkoctfile --mex, each exporting only mexFunction, and they answer like the CMake-built ones.
  root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
  outdir = tempname();
  here = pwd();
  cleanup = onCleanup(@() finish(here, outdir));
  randn('state', 2);
  X = randn(200, 5);
  y = X * [0; 1; 0; -1; 0.5] + 0.01 * randn(200, 1);
  w_cmake = kinkstep(X, y, 0.01, 0.001, 300, 1, 0);

  addpath(root);
  % Named from its parent folder, as a user names a folder beside them.
  [parent, leaf] = fileparts(outdir);
  cd(parent);
  evalc('build(leaf)');
  cd(here);
  for name = {'kinkstep', 'driftwalk', 'splitavg', 'teamprobe'}
    module = fullfile(outdir, [name{1} '.mex']);
    assert(isfile(module), 'build made no %s', module);
    [status, symbols] = system(['nm -D --defined-only ' module]);
    assert(status, 0);
    assert(strtrim(regexprep(symbols, '(?m)^\S+\s+A\s+MEX\s*$', '')), ...
           regexp(symbols, '\S+\s+T\s+mexFunction@@MEX', 'match', 'once'));
  end

  clear kinkstep;
  cd(tempdir());  % the current folder comes first on the path, and it may hold a kinkstep too
  addpath(outdir);
  assert(strcmp(which('kinkstep'), fullfile(outdir, 'kinkstep.mex')));
  w_built = kinkstep(X, y, 0.01, 0.001, 300, 1, 0);
  assert(isequal(w_built, w_cmake), 'build.m and CMake modules differ by %g', max(abs(w_built - w_cmake)));
  assert(! isempty(strfind(evalc('help kinkstep'), 'KINKSTEP')));
  assert(isfile(fullfile(outdir, 'stochl1_stepsize.m')), 'build made no copy of stochl1_stepsize.m');
  assert(isfile(fullfile(outdir, 'stochl1_path.m')), 'build made no copy of stochl1_path.m');
end

function finish(here, outdir)
  cd(here);
  rmpath(outdir);
  clear kinkstep;
  confirm_recursive_rmdir(false, 'local');
  rmdir(outdir, 's');
end
