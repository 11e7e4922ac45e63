function test_fork()
  % A copy of the session made by fork after it ran a team: every module answers there on one
  % thread, with a one-thread call's weights, instead of waiting forever for worker threads the
  % copy does not have.
  X = sin((1:3000 * 40)' * 0.37); X = reshape(X, 3000, 40); y = cos((1:3000)');
  one = struct("threads", 1, "seed", 7); two = struct("threads", 2, "seed", 7);
  w1 = kinkstep(X, y, 1e-3, 1e-4, 200, 1, 0, one);
  s1 = splitavg(sparse(X), y, 1e-3, 1e-4, 0, one);
  kinkstep(X, y, 1e-3, 1e-4, 200, 1, 0, two);  % the runtime holds worker threads at the fork

  pid = fork();
  if pid == 0
    status = 1;
    try
      warning("off", "all");
      [w2, i2] = kinkstep(X, y, 1e-3, 1e-4, 200, 1, 0, two);
      [s2, j2] = splitavg(sparse(X), y, 1e-3, 1e-4, 0, two);
      driftwalk(X, y, 1e-4, 10, -0.55, 1e-3, 1000, 3, 0);
      printed = evalc("teamprobe()");
      if isequal(w2, w1) && isequal(s2, s1) && i2.threads == 1 && j2.threads == 1 ...
         && numel(strfind(printed, "Hello World")) == 1
        status = 0;
      end
    catch
    end
    exit(status);
  end
  ended = false;
  for k = 1:1200  % a minute at most: a team that waits never ends
    [done, status] = waitpid(pid, WNOHANG);
    ended = done == pid;
    if ended
      break;
    end
    pause(0.05);
  end
  if ! ended
    kill(pid, 9);
    waitpid(pid);
    error("the forked process hung in a call");
  end
  assert(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the forked process's calls gave other answers");

  % Unseeded calls in copies of one session take seeds of their own.
  [~, info] = kinkstep(X, y, 1e-3, 1e-4, 10, 0, 0);
  files = {tempname(), tempname()};
  for k = 1:2
    pid = fork();
    if pid == 0
      [~, info] = kinkstep(X, y, 1e-3, 1e-4, 10, 0, 0);
      fid = fopen(files{k}, "w");
      fprintf(fid, "%d", info.seed);
      fclose(fid);
      exit(0);
    end
    waitpid(pid);
  end
  [~, after] = kinkstep(X, y, 1e-3, 1e-4, 10, 0, 0);
  unwind_protect
    seeds = [str2double(fileread(files{1})), str2double(fileread(files{2})), after.seed];
    assert(numel(unique(seeds)) == 3, sprintf("seeds %d %d %d", seeds));
  unwind_protect_cleanup
    for k = 1:2
      if exist(files{k}, "file")
        delete(files{k});
      end
    end
  end_unwind_protect
  printf("test_fork: all passed\n");
end
