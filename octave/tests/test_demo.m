function test_demo()
  % The demo end to end, as scripts/demo runs it: a table and both pictures, written as PNG
  % files that are not empty. A machine that lacks a piece the pictures need (a font for
  % Octave's renderer, Ghostscript for print) fails here rather than on a new user's first run.
  % The folder's name holds what a shell would read as commands and quotes; its parent holds a
  % folder of the name the shell would have made of it, with a file of the user's.
  parent = tempname();
  folder = fullfile(parent, 'pictures $(touch made_by_a_shell) `x` "q" \\ $HOME');
  mkdir(folder);
  mkdir(fullfile(parent, "pictures "));
  users = fullfile(parent, "pictures ", "objective.png");
  fid = fopen(users, "w");
  fputs(fid, "the user's");
  fclose(fid);
  unwind_protect
    % An argument that names no folder is refused before the work.
    for bad = {fullfile(parent, "none"), "", users}
      expect_error(@() stochl1_demo(bad{1}), "stochl1_demo:invalidFolder");
    end
    % The user's figures stay as they were, the current one too.
    figures = [figure("visible", "off"), figure("visible", "off")];
    set(0, "currentfigure", figures(1));
    % The session's generators and graphics toolkit are as the demo found them.
    randn("state", 5);
    rand("state", 6);
    toolkit = graphics_toolkit();
    next_randn = randn(1, 3);
    next_rand = rand(1, 3);
    randn("state", 5);
    rand("state", 6);
    % So is a TMPDIR whose name the shell would read as a command (print puts a file of its own there).
    tmpdir = getenv("TMPDIR");
    odd_tmpdir = fullfile(parent, "tmp $(touch made_by_a_shell)");
    mkdir(odd_tmpdir);
    setenv("TMPDIR", odd_tmpdir);
    unwind_protect
      out = evalc("stochl1_demo(folder);");
    unwind_protect_cleanup
      setenv("TMPDIR", tmpdir);
    end_unwind_protect
    assert(numel(readdir(odd_tmpdir)), 2, "the demo left files in TMPDIR");
    assert(isequal(randn(1, 3), next_randn) && isequal(rand(1, 3), next_rand), "the demo left the generators moved");
    assert(graphics_toolkit(), toolkit);
    assert(get(0, "currentfigure"), figures(1));
    assert(sort(get(0, "children")), sort(figures(:)));
    close(figures);
    assert(fileread(users), "the user's");
    assert(! exist(fullfile(pwd(), "made_by_a_shell"), "file") && ! exist(fullfile(parent, "made_by_a_shell"), "file"));
    assert(numel(readdir(folder)), 2 + 5, "the folder holds more than the five pictures");
    % So are the old generators a session seeded with "seed".
    rand("seed", 42);
    randn("seed", 43);
    next_randn = randn(1, 3);
    next_rand = rand(1, 3);
    rand("seed", 42);
    randn("seed", 43);
    evalc("stochl1_demo();");
    assert(isequal(randn(1, 3), next_randn) && isequal(rand(1, 3), next_rand), "the demo left the seeded generators moved");
    for name = {"objective.png", "weights.png", "averaging.png", "support.png", "path.png"}
      file = fullfile(folder, name{1});
      [info, err] = stat(file);  % not dir, which reads the name as a pattern
      assert(err == 0, "the demo wrote no %s:\n%s", name{1}, out);
      assert(info.size > 1000, "%s holds only %d bytes", name{1}, info.size);
      fid = fopen(file, "rb");
      magic = fread(fid, 8, "uint8=>uint8")';
      fclose(fid);
      assert(isequal(magic, uint8([137 80 78 71 13 10 26 10])), "%s is not a PNG file", name{1});
      picture = imread(file);
      assert(size(picture, 1) > 100 && size(picture, 2) > 100, "%s is %dx%d", name{1}, rows(picture), columns(picture));
    end

    % The table: one line per method with its silent time, F beside the optimum F*, and F no
    % lower than F* (nothing beats the minimum).
    for method = {"kinkstep method 0", "kinkstep method 1", "driftwalk", "splitavg"}
      row = regexp(out, [method{1} " +([0-9.]+) +([0-9.]+) +([0-9.]+) "], "tokens", "once");
      assert(numel(row) == 3, "no table row for %s:\n%s", method{1}, out);
      values = str2double(row);
      assert(all(isfinite(values)), "%s: %s", method{1}, strjoin(row, " "));
      assert(values(2) >= values(3) - 0.05, "%s: F = %g below F* = %g", method{1}, values(2), values(3));
    end
    assert(! isempty(strfind(out, "F*")), "the table has no F* column");
    % The options: averaging ends closer than the last iterate after 20 x N steps, the cumulative
    % step finds exact zeros, the path has one column per penalty.
    rows_of = @(name) str2double(regexp(regexp(out, [name " +([0-9. %]+)\n"], "tokens", "once"){1}, "[0-9.]+", "match"));
    last = rows_of("last iterate");
    averaged = rows_of("averaged \\(second half\\)");
    assert(numel(last) == 6 && numel(averaged) == 6, "%s", out);
    assert(averaged(5) < last(5), "averaging did not end closer: %g against %g", averaged(5), last(5));
    zeros_found = str2double(regexp(out, "'cumulative' averaged (\\d+)", "tokens", "once"));
    assert(zeros_found > 20, "the cumulative step found %d zeros:\n%s", zeros_found, out);
    assert(! isempty(regexp(out, "stochl1_path over 15 penalties", "once")), "%s", out);
    % The sparse example: it ran, fitted something, and matched full(X).
    assert(! isempty(strfind(out, "Sparse X, a bag of words")), "no sparse example:\n%s", out);
    err = str2double(regexp(out, "relative error of X\\*w: ([0-9.]+)", "tokens", "once"));
    assert(isfinite(err) && err < 1, "the sparse example fitted nothing:\n%s", out);
    assert(! isempty(strfind(out, "the same weights as full(X) on 1000 documents x 5000 words: yes")), "%s", out);
  unwind_protect_cleanup
    confirm_recursive_rmdir(false, "local");
    rmdir(parent, "s");
  end_unwind_protect
end
