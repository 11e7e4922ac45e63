function test_splitavg_mpi()
  % splitavg_mpi from Octave: files saved by Octave itself (-v7, -v6, one per process), the same w
  % as the threaded splitavg bit for bit, info, and the errors it raises.
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() remove_folder(folder));
  bits = @(v) typecast(v(:), 'uint64');

  % The help names the call, every option and every error it raises.
  text = evalc('help splitavg_mpi');
  assert(! isempty(strfind(text, '[w, info] = splitavg_mpi(file, stepSize, lambda, verbose, opts)')));
  for word = {'processes', 'threads', 'seed', 'hostfile', 'program', 'splitavg_mpi:invalidInput', ...
              'splitavg_mpi:invalidOption', 'splitavg_mpi:noProgram', 'splitavg_mpi:failed', ...
              'splitavg_mpi:interrupted', 'splitavg_mpi:diverged', 'save -v6', '-v7.3', 'sparse'}
    assert(! isempty(strfind(text, word{1})), 'the help does not mention %s', word{1});
  end

  X = sin((1:2001)' * (1:5) * 0.37);
  y = cos((1:2001)' * 1.3);
  data7 = fullfile(folder, 'data7.mat');
  save('-v7', data7, 'X', 'y');

  % Three processes on a file saved with -v7: splitavg with three threads.
  [w, info] = splitavg_mpi(data7, 0.01, 1e-4, 0, struct('processes', 3, 'seed', 5));
  assert(isequal(bits(w), bits(splitavg(X, y, 0.01, 1e-4, 0, struct('seed', 5, 'threads', 3)))));
  assert(size(w), [5 1]);
  assert(info.seed, 5);
  assert(info.processes, 3);
  assert(info.threads, 1);
  assert(info.iterations, 1);
  assert(isempty(info.objective));
  assert(info.exchange_bytes > 0);
  % With a hostfile (here of this machine alone) process 0 may run elsewhere: the result is written
  % beside the data, and nothing of it is left there after.
  hosts = fullfile(folder, 'hosts');
  fid = fopen(hosts, 'w');
  fprintf(fid, 'localhost slots=3\n');
  fclose(fid);
  before = dir(folder);
  wh = splitavg_mpi(data7, 0.01, 1e-4, 0, struct('processes', 3, 'seed', 5, 'hostfile', hosts));
  assert(isequal(bits(wh), bits(w)));
  assert(isequal(sort({dir(folder).name}), sort({before.name})));
  % The progress line changes nothing in the result.
  wp = splitavg_mpi(data7, 0.01, 1e-4, 0, struct('processes', 3, 'seed', 5, 'progress', true));
  assert(isequal(bits(wp), bits(w)));

  % -v6, two processes of two threads, verbose: the objective history of the module.
  data6 = fullfile(folder, 'data6.mat');
  save('-v6', data6, 'X', 'y');
  X6 = X;
  y6 = y;
  [w, info] = splitavg_mpi(data6, 0.02, 1e-3, 1, struct('processes', 2, 'threads', 2, 'seed', 4000000000));
  [wt, it] = splitavg(X, y, 0.02, 1e-3, 0, struct('seed', 4000000000, 'threads', 4));
  assert(isequal(bits(w), bits(wt)));
  assert(isequal(bits(info.objective), bits(it.objective)));

  % One file per process, rows in process order.
  cuts = [0 700 700 2001];  % the second file is empty
  for p = 0:2
    rows = cuts(p + 1) + 1:cuts(p + 2);
    save_shard(fullfile(folder, sprintf('shard_%d.mat', p)), X(rows, :), y(rows));
  end
  w = splitavg_mpi(fullfile(folder, 'shard_%d.mat'), 0.01, 1e-4, 0, ...
                   struct('processes', 3, 'threads', 1, 'seed', 9));
  assert(isequal(bits(w), bits(splitavg(X, y, 0.01, 1e-4, 0, struct('seed', 9, 'threads', 3)))));

  % A sparse X saved with -v7: the module's sparse weights, and those of full(X), for 2 and 3
  % processes.
  randn('state', 3);
  rand('state', 3);
  S = sprandn(3001, 60, 0.05);
  ys = S * randn(60, 1) + 0.1 * randn(3001, 1);
  X = S;
  y = ys;
  sparse7 = fullfile(folder, 'sparse7.mat');
  save('-v7', sparse7, 'X', 'y');
  for P = [2 3]
    w = splitavg_mpi(sparse7, 0.01, 1e-4, 0, struct('processes', P, 'threads', 2, 'seed', 8));
    assert(isequal(bits(w), bits(splitavg(S, ys, 0.01, 1e-4, 0, struct('seed', 8, 'threads', 2 * P)))));
    assert(isequal(bits(w), bits(splitavg(full(S), ys, 0.01, 1e-4, 0, struct('seed', 8, 'threads', 2 * P)))));
  end

  % A run that diverges returns its weights and warns, as the module does.
  lastwarn('');
  [w, info] = splitavg_mpi(data6, 1e6, 1e-3, 0, struct('processes', 2, 'seed', 1));
  [message, id] = lastwarn();
  assert(id, 'splitavg_mpi:diverged');
  assert(info.diverged);
  assert(any(! isfinite(w)));

  % Without SPLITAVG_MPI, the program of the build tree (beside this function's folder) is found.
  saved = getenv('SPLITAVG_MPI');
  unsetenv('SPLITAVG_MPI');
  w = splitavg_mpi(data6, 0.02, 1e-3, 0, struct('processes', 2, 'seed', 3));
  setenv('SPLITAVG_MPI', saved);
  assert(isequal(bits(w), bits(splitavg(X6, y6, 0.02, 1e-3, 0, struct('seed', 3, 'threads', 2)))));

  % A missing variable: the program's message, then an error; nothing is returned.
  Z = X;
  save('-v7', fullfile(folder, 'noy.mat'), 'Z');
  expect_error(@() splitavg_mpi(fullfile(folder, 'noy.mat'), 0.01, 1e-4, 0, struct('seed', 1)), 'splitavg_mpi:failed');
  expect_error(@() splitavg_mpi(fullfile(folder, 'none.mat'), 0.01, 1e-4, 0), 'splitavg_mpi:failed');

  % Bad calls are caught before anything runs.
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4), 'splitavg_mpi:invalidInput');
  expect_error(@() splitavg_mpi(5, 0.01, 1e-4, 0), 'splitavg_mpi:invalidInput');
  expect_error(@() splitavg_mpi([data7 char(0) 'x'], 0.01, 1e-4, 0), 'splitavg_mpi:invalidInput');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('hostfile', ['h' char(0)])), 'splitavg_mpi:invalidOption');
  expect_error(@() splitavg_mpi(data7, [1 2], 1e-4, 0), 'splitavg_mpi:invalidInput');
  expect_error(@() splitavg_mpi(data7, 0.01, Inf, 0), 'splitavg_mpi:invalidInput');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('procs', 2)), 'splitavg_mpi:invalidOption');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('threads', 0)), 'splitavg_mpi:invalidOption');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('seed', -1)), 'splitavg_mpi:invalidOption');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('progress', 'yes')), 'splitavg_mpi:invalidOption');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('program', fullfile(folder, 'nothing'))), ...
               'splitavg_mpi:noProgram');
  expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('program', folder)), 'splitavg_mpi:noProgram');
  % A program that ends well but writes nothing is named as the likely fault (no hostfile to blame).
  try
    splitavg_mpi(data7, 0.01, 1e-4, 0, struct('program', '/bin/true'));
    error('test_splitavg_mpi:noError', 'a program that wrote no result gave an answer');
  catch e
    assert(e.identifier, 'splitavg_mpi:failed');
    assert(! isempty(strfind(e.message, 'wrote no result: is it splitavg-mpi?')) && isempty(strfind(e.message, 'hostfile')), ...
           e.message);
  end

  % Step sizes and penalties reach the program to the last bit (written as a hexadecimal significand
  % and a power of two, which no locale writes with a comma): a last-bit difference, a subnormal, -0.
  for v = {0.02 * (1 + eps), 1e-3 * (1 - eps / 2); 2 ^ -30 + 2 ^ -82, 5e-324; 0.015, -0}'
    w = splitavg_mpi(data6, v{1}, v{2}, 0, struct('seed', 3));
    assert(isequal(bits(w), bits(splitavg(X6, y6, v{1}, v{2}, 0, struct('seed', 3, 'threads', 1)))), ...
           'step %a, lambda %a', v{1}, v{2});
  end

  % ... as a whole significand in hexadecimal and a power of two, with no decimal point that a C
  % locale set by a library could write as a comma: a stand-in program records its arguments.
  recorder = fullfile(folder, 'recorder');
  f = fopen(recorder, 'w');
  fprintf(f, '#!/bin/sh\nfor a; do printf ''%%s\\n'' "$a"; done > ''%s''\nexit 1\n', fullfile(folder, 'arguments.txt'));
  fclose(f);
  system(['chmod +x ''', recorder, '''']);
  for v = {0.02 * (1 + eps), -2.5e-310, realmax, single(0.1)}
    expect_error(@() splitavg_mpi(data7, v{1}, -v{1}, 0, struct('program', recorder)), 'splitavg_mpi:failed');
    recorded = strsplit(strtrim(fileread(fullfile(folder, 'arguments.txt'))), "\n");
    for name = {'--step', '--lambda'}
      text = recorded{find(strcmp(recorded, name{1})) + 1};
      parts = regexp(text, '^(-?0x)([0-9A-F]+)p(-?[0-9]+)$', 'tokens', 'once');
      assert(numel(parts) == 3, '%s %s', name{1}, text);
      e = str2double(parts{3});
      value = hex2dec(parts{2}) * 2 ^ fix(e / 2) * 2 ^ (e - fix(e / 2));  % exact: no 2^-1081 alone
      if strcmp(parts{1}, '-0x')
        value = -value;
      end
      expected = double(v{1}) * (1 - 2 * strcmp(name{1}, '--lambda'));
      assert(value == expected, '%s %s for %.17g', name{1}, text, expected);
    end
  end

  % Variables of other names, named by opts.x and opts.y.
  A = X6;
  b = y6;
  save('-v6', fullfile(folder, 'named.mat'), 'A', 'b');
  w = splitavg_mpi(fullfile(folder, 'named.mat'), 0.02, 1e-3, 0, struct('processes', 2, 'seed', 3, 'x', 'A', 'y', 'b'));
  assert(isequal(bits(w), bits(splitavg(X6, y6, 0.02, 1e-3, 0, struct('seed', 3, 'threads', 2)))));
  for bad = {'', '1a', 'a b', 5, ['A'; 'B']}
    expect_error(@() splitavg_mpi(data7, 0.01, 1e-4, 0, struct('x', bad{1})), 'splitavg_mpi:invalidOption');
  end
  expect_error(@() splitavg_mpi(fullfile(folder, 'named.mat'), 0.01, 1e-4, 0, struct('y', 'b')), 'splitavg_mpi:failed');

  % A program whose result holds no w and info is not taken for splitavg-mpi.
  a = 1;
  save('-v6', fullfile(folder, 'other.mat'), 'a');
  fake = fullfile(folder, 'fake_program');
  f = fopen(fake, 'w');
  fprintf(f, '#!/bin/sh\nfor last; do :; done\ncp ''%s'' "$last"\n', fullfile(folder, 'other.mat'));
  fclose(f);
  system(['chmod +x ''', fake, '''']);
  try
    splitavg_mpi(data7, 0.01, 1e-4, 0, struct('program', fake));
    error('test_splitavg_mpi:noError', 'a result without w was taken');
  catch e
    assert(e.identifier, 'splitavg_mpi:failed');
    assert(! isempty(strfind(e.message, 'holds no w and info')), e.message);
  end

  % ~ is the home folder, as save and load take it.
  home = getenv('HOME');
  setenv('HOME', folder);
  try
    w = splitavg_mpi(['~/', 'data6.mat'], 0.02, 1e-3, 0, struct('processes', 2, 'seed', 3));
  catch e
    setenv('HOME', home);
    rethrow(e);
  end
  setenv('HOME', home);
  assert(isequal(bits(w), bits(splitavg(X6, y6, 0.02, 1e-3, 0, struct('seed', 3, 'threads', 2)))));

  % A file named like one of the program's options is still the data file.
  here = pwd();
  cd(folder);
  back = onCleanup(@() cd(here));
  f = fopen(data6, 'r');
  bytes = fread(f, Inf, 'uint8=>uint8');
  fclose(f);
  f = fopen('--verbose', 'w');
  fwrite(f, bytes, 'uint8');
  fclose(f);
  w = splitavg_mpi('--verbose', 0.02, 1e-3, 0, struct('processes', 2, 'seed', 3));
  assert(isequal(bits(w), bits(splitavg(X6, y6, 0.02, 1e-3, 0, struct('seed', 3, 'threads', 2)))));
end

function save_shard(file, X, y)
  save('-v6', file, 'X', 'y');
end

function remove_folder(folder)
  confirm_recursive_rmdir(false);
  rmdir(folder, 's');
end
