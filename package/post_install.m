function post_install(desc)
  % A help file works only beside its compiled module: Octave reads the help of kinkstep.mex
  % from kinkstep.m in the same folder. pkg puts *.m files in the package folder and *.mex files
  % in the architecture folder, so the help files follow their modules there.
  found = dir(fullfile(desc.archprefix, "*", "kinkstep.mex"));
  if (numel(found) != 1)
    error("stochl1: cannot find where pkg put the compiled modules under %s", desc.archprefix);
  end
  archdir = found(1).folder;
  for name = {"kinkstep", "driftwalk", "splitavg", "teamprobe"}
    [ok, msg] = movefile(fullfile(desc.dir, [name{1} ".m"]), archdir);
    if (! ok)
      error("stochl1: cannot move the help of %s beside its module: %s", name{1}, msg);
    end
  end
end
