function build(outdir)
% BUILD  Builds the four stochl1 modules with the compiler of the running MATLAB or Octave.
%
%   build            builds the modules listed in sources.txt (kinkstep, driftwalk, splitavg and
%                    teamprobe) into the folder 'mex' beside this file, and copies their help
%                    files there
%   build(outdir)    builds into outdir
%
%   Then addpath(outdir) and call them; help kinkstep shows how.
%
%   Under MATLAB it uses mex (a supported C++17 compiler is needed, see mex -setup C++) and links
%   the modules against MATLAB's own OpenMP runtime, libiomp5 in matlabroot/sys/os/<arch>, when
%   it is there, so that only one OpenMP runtime is loaded in the MATLAB process. Under Octave it
%   uses mkoctfile --mex with GCC's OpenMP runtime (libgomp), as Octave itself does.
%
%   The sources and flags come from sources.txt, which the CMake build and the Octave package read
%   too: C++17, OpenMP, -ffp-contract=off and never fast-math (the results are defined to the last
%   bit), and a linker version script so that each module exports only mexFunction.

  root = fileparts(mfilename('fullpath'));
  if nargin < 1
    outdir = fullfile(root, 'mex');
  end
  if isfile(outdir)  % exist(outdir, 'file') would also find functions of that name on the path
    error('build:outdir', 'build: %s names a file, not a folder; name a folder for the modules', outdir);
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end
  % The compiler runs in a scratch folder: a folder named from here must be named in full.
  here = pwd();
  cd(outdir);
  outdir = pwd();
  cd(here);

  % The sources and flags come from sources.txt, which the CMake build and the package read too.
  if exist('OCTAVE_VERSION', 'builtin')
    host = 'octave';
  else
    host = 'matlab';
  end
  lists = read_source_list(fullfile(root, 'sources.txt'));
  modules = module_sources(lists, host);
  version_script = fullfile(root, 'cmake', 'mex.version');
  standard = entries(lists, 'standard');
  flags = strjoin([{['-std=c++' standard{1}], '-fopenmp'}, entries(lists, 'flags'), ...
                   entries(lists, 'warnings')], ' ');

  for m = modules
    sources = fullfile(root, m.sources);
    fprintf('building %s\n', m.name);
    if strcmp(host, 'octave')
      build_octave(m.name, sources, root, outdir, flags, version_script);
    else
      build_matlab(m.name, sources, root, outdir, flags, version_script);
    end
    copy_bytes(fullfile(root, 'octave', [m.name '.m']), outdir);
  end
  % The step-size and path helpers are plain m-code; they go beside the modules they serve.
  copy_bytes(fullfile(root, 'octave', 'stochl1_stepsize.m'), outdir);
  copy_bytes(fullfile(root, 'octave', 'stochl1_path.m'), outdir);
  fprintf('built into %s\n', outdir);
end

function copy_bytes(file, folder)
  % A copy by reading and writing, never through a shell, which would read a folder named with a
  % space, a quote or a $ as something else (and could write into another folder). It is written
  % beside the target, under a name no file has, and renamed over it: a module the session has
  % loaded keeps its old file.
  [~, name, extension] = fileparts(file);
  target = fullfile(folder, [name extension]);
  partial = tempname(folder);
  in = fopen(file, 'r');
  if in < 0
    error('build:copy', 'build: cannot read %s', file);
  end
  bytes = fread(in, Inf, '*uint8');
  fclose(in);
  out = fopen(partial, 'w');
  if out < 0
    error('build:copy', 'build: cannot write %s', partial);
  end
  written = fwrite(out, bytes, 'uint8');
  if fclose(out) ~= 0 || written ~= numel(bytes)
    delete(partial);
    error('build:copy', 'build: writing %s failed', partial);
  end
  if exist('OCTAVE_VERSION', 'builtin')
    [status, message] = rename(partial, target);
    moved = status == 0;
  else
    [moved, message] = movefile(partial, target, 'f');
  end
  if ~moved
    delete(partial);
    error('build:copy', 'build: cannot replace %s: %s', target, message);
  end
end

function lists = read_source_list(file)
  % "[name]" starts a list; every other line up to the next one is an entry. Blank lines and lines
  % starting with # are skipped. The lists keep the file's order.
  lines = regexp(fileread(file), '\r?\n', 'split');
  lists = struct('names', {{}}, 'entries', {{}});
  for k = 1:numel(lines)
    line = strtrim(lines{k});
    if isempty(line) || line(1) == '#'
      continue;
    end
    if line(1) == '[' && line(end) == ']'
      lists.names{end+1} = regexprep(strtrim(line(2:end-1)), '\s+', ' ');
      lists.entries{end+1} = {};
    elseif isempty(lists.names)
      error('build:sourceList', '%s: "%s" comes before any [list]', file, line);
    else
      lists.entries{end} = [lists.entries{end}, {line}];
    end
  end
end

function values = entries(lists, name)
  k = find(strcmp(lists.names, name), 1);
  if isempty(k)
    error('build:sourceList', 'sources.txt has no [%s]', name);
  end
  values = lists.entries{k};
end

function modules = module_sources(lists, host)
  % Every [module <name>]: its gateway and solver files and what it uses, with this host's frame.
  modules = struct('name', {}, 'sources', {});
  for k = 1:numel(lists.names)
    if ~strncmp(lists.names{k}, 'module ', 7)
      continue;
    end
    name = lists.names{k}(8:end);
    sources = {};
    for entry = lists.entries{k}
      parts = regexp(entry{1}, '^(gateway|solver|uses)\s+(\S+)$', 'tokens', 'once');
      if isempty(parts)
        error('build:sourceList', '[module %s]: "%s" is not "gateway|solver|uses <what>"', name, entry{1});
      end
      if ~strcmp(parts{1}, 'uses')
        sources{end+1} = parts{2};
      elseif strcmp(parts{2}, 'core')
        sources = [sources, entries(lists, 'core')];
      elseif strcmp(parts{2}, 'frame')
        sources = [sources, entries(lists, 'frame'), entries(lists, ['frame ' host])];
      elseif ~strcmp(parts{2}, 'mat')  % only the CMake build links a MAT-file library
        sources{end+1} = parts{2};
      end
    end
    sources = unique([sources, entries(lists, 'every module')], 'stable');
    modules(end+1) = struct('name', name, 'sources', {sources});
  end
end

function build_octave(name, sources, root, outdir, flags, version_script)
  % mkoctfile takes the word after a flag it does not know as that flag's value: the flags go
  % through the environment. It leaves object files in the current folder: work in a scratch one.
  % Its link command and the flags go through a shell unquoted, so the module is linked there under
  % a plain name, with the version script copied beside it, and then copied into outdir.
  saved = {getenv('CXXFLAGS'), getenv('LDFLAGS')};
  here = pwd();
  scratch = tempname();
  mkdir(scratch);
  cleanup = onCleanup(@() restore(saved, here, scratch));
  copy_bytes(version_script, scratch);
  setenv('CXXFLAGS', [mkoctfile('-p', 'CXXFLAGS') ' ' flags]);
  setenv('LDFLAGS', [mkoctfile('-p', 'LDFLAGS') ' -fopenmp -Wl,--version-script=mex.version']);
  cd(scratch);
  [output, status] = mkoctfile('--mex', ['-I' root], '-o', [name '.mex'], sources{:});
  if status ~= 0 || ~exist(fullfile(scratch, [name '.mex']), 'file')
    % The compiler's and the linker's own messages went to the terminal, above this one.
    error('build:compile', 'mkoctfile failed for %s (its messages are above)\n%s', name, output);
  end
  copy_bytes(fullfile(scratch, [name '.mex']), outdir);
end

function restore(saved, here, scratch)
  setenv('CXXFLAGS', saved{1});
  setenv('LDFLAGS', saved{2});
  cd(here);
  confirm_recursive_rmdir(false, 'local');
  rmdir(scratch, 's');
end

function build_matlab(name, sources, root, outdir, flags, version_script)
  ldflags = ['LDFLAGS=$LDFLAGS -Wl,--version-script=' version_script];
  libs = {'-lut'};  % utIsInterruptPending, for Ctrl-C
  iomp = fullfile(matlabroot, 'sys', 'os', computer('arch'), 'libiomp5.so');
  if exist(iomp, 'file')
    % Compile for OpenMP, but link MATLAB's runtime instead of libgomp: libiomp5 also provides
    % the GOMP_* entry points that GCC's OpenMP code calls.
    libs = [libs, {['-L' fileparts(iomp)], '-liomp5'}];
  else
    ldflags = [ldflags ' -fopenmp'];
  end
  mex('-outdir', outdir, '-output', name, ['-I' root], ...
      ['CXXFLAGS=$CXXFLAGS ' flags], ldflags, libs{:}, sources{:});
end
