function test_fork()
  % A copy of the session made by fork after it ran a team: every module answers there on one
  % thread, with a one-thread call's weights, instead of waiting forever for worker threads the
  % copy does not have.
  X = sin((1:3000 * 40)' * 0.37); X = reshape(X, 3000, 40); y = cos((1:3000)');
  one = struct("threads", 1, "seed", 7); two = struct("threads", 2, "seed", 7);
  w1 = kinkstep(X, y, 1e-3, 1e-4, 200, 1, 0, one);
  s1 = splitavg(sparse(X), y, 1e-3, 1e-4, 0, one);
  % The runtime holds worker threads at the fork: teamprobe starts the default team whatever the
  % load (of two or more threads where the machine has two processors or more).
  evalc("teamprobe()");
  kinkstep(X, y, 1e-3, 1e-4, 200, 1, 0, two);

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
  assert(exit_status(pid) == 0, "the copy's calls gave other answers");

  % Unseeded calls in copies of one session take seeds of their own.
  [~, info] = kinkstep(X, y, 1e-3, 1e-4, 10, 0, 0);
  files = {tempname(), tempname()};
  for k = 1:2
    pid = fork();
    if pid == 0
      status = 1;
      try
        [~, info] = kinkstep(X, y, 1e-3, 1e-4, 10, 0, 0);
        fid = fopen(files{k}, "w");
        fprintf(fid, "%d", info.seed);
        fclose(fid);
        status = 0;
      catch
      end
      exit(status);
    end
    assert(exit_status(pid) == 0, "an unseeded call in a copy failed");
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

% The exit status of the copy `pid`, which must end within a minute: a team that waits never
% ends, and the copy is then killed.
function status = exit_status(pid)
  for k = 1:1200
    [done, status] = waitpid(pid, WNOHANG);
    if done == pid
      assert(WIFEXITED(status), "the copy ended by a signal");
      status = WEXITSTATUS(status);
      return;
    end
    pause(0.05);
  end
  kill(pid, 9);
  waitpid(pid);
  error("the copy hung in a call");
end
