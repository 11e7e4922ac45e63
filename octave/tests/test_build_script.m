function test_build_script()
  % build.m, the MATLAB-style build, under Octave: it builds all four modules with
  % mkoctfile --mex, each exporting only mexFunction, and they answer like the CMake-built ones.
  root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
  % A folder name that a shell would split and expand: the modules go there and nowhere else. The
  % folder is new, and named like a function on the path (build.m itself).
  scratch = tempname();
  base = [scratch ' out $1x'];
  outdir = fullfile(base, 'build');
  here = pwd();
  cleanup = onCleanup(@() finish(here, base, outdir));
  randn('state', 2);
  X = randn(200, 5);
  y = X * [0; 1; 0; -1; 0.5] + 0.01 * randn(200, 1);
  w_cmake = kinkstep(X, y, 0.01, 0.001, 300, 1, 0);

  addpath(root);
  % A file is not a folder to build into, and it stays as it was.
  fid = fopen(scratch, 'w');
  fprintf(fid, 'a file of the user');
  fclose(fid);
  try
    build(scratch);
    error('test_build_script:noError', 'build took a file for its folder');
  catch e
    assert(e.identifier, 'build:outdir');
  end
  assert(fileread(scratch), 'a file of the user');
  delete(scratch);
  % Named from its parent folder, as a user names a folder beside them; a file of theirs there stays.
  mkdir(base);
  fid = fopen(fullfile(base, 'notes.txt'), 'w');
  fprintf(fid, 'notes');
  fclose(fid);
  cd(base);
  evalc('build(''build'')');
  cd(here);
  assert(fileread(fullfile(base, 'notes.txt')), 'notes');
  assert(numel(dir(base)) == 4, 'build left more than its folder beside notes.txt');  % ., .., build, notes.txt
  assert(! exist([scratch ' out x'], 'dir') && ! exist([scratch ' out '], 'dir'), 'build wrote elsewhere');
  for name = {'kinkstep', 'driftwalk', 'splitavg', 'teamprobe'}
    module = fullfile(outdir, [name{1} '.mex']);
    assert(isfile(module), 'build made no %s', module);
    [status, symbols] = system(['nm -D --defined-only ''' module '''']);
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

function finish(here, base, outdir)
  cd(here);
  if any(strcmp(strsplit(path(), pathsep()), outdir))
    rmpath(outdir);
  end
  clear kinkstep;
  confirm_recursive_rmdir(false, 'local');
  if exist(base, 'dir')
    rmdir(base, 's');
  end
end
