function build(outdir)
% BUILD  Builds the four stochl1 modules with the compiler of the running MATLAB or Octave.
%
%   build            builds kinkstep, driftwalk, splitavg and teamprobe into the folder 'mex'
%                    beside this file, and copies their help files there
%   build(outdir)    builds into outdir
%
%   Then addpath(outdir) and call them; help kinkstep shows how.
%
%   Under MATLAB it uses mex (a supported C++17 compiler is needed, see mex -setup C++) and links
%   the modules against MATLAB's own OpenMP runtime, libiomp5 in matlabroot/sys/os/<arch>, when
%   it is there, so that only one OpenMP runtime is loaded in the MATLAB process. Under Octave it
%   uses mkoctfile --mex with GCC's OpenMP runtime (libgomp), as Octave itself does.
%
%   The flags every build uses: C++17, OpenMP, -ffp-contract=off and never fast-math (the results
%   are defined to the last bit), and a linker version script so that each module exports only
%   mexFunction.

  root = fileparts(mfilename('fullpath'));
  if nargin < 1
    outdir = fullfile(root, 'mex');
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end

  % The solver modules' frame asks the host whether the user pressed Ctrl-C: each host its own way.
  if exist('OCTAVE_VERSION', 'builtin')
    interrupt = 'frame/host_interrupt_octave.cpp';
  else
    interrupt = 'frame/host_interrupt_matlab.cpp';
  end
  core = {'core/thread_rand.cpp', 'core/regression_data.cpp', 'core/parameters.cpp', ...
          'core/printer.cpp', 'core/primitives.cpp', 'core/fit.cpp', 'core/team_limits.cpp', 'core/progress.cpp', ...
          'frame/call_error.cpp', 'frame/call_shape.cpp', 'frame/scalar_inputs.cpp', 'frame/options.cpp', ...
          'frame/data_input.cpp', 'frame/output_column.cpp', 'frame/host_output.cpp', 'frame/host_stop.cpp', ...
          'frame/seed.cpp', 'frame/run_record.cpp', interrupt, 'frame/host_display_native.cpp', ...
          'frame/keep_openmp_loaded.cpp'};
  modules = struct( ...
    'name', {'kinkstep', 'driftwalk', 'splitavg', 'teamprobe'}, ...
    'sources', {[{'kinkstep/kinkstep_gateway.cpp', 'kinkstep/sequential.cpp', 'kinkstep/parallel.cpp', 'kinkstep/fit.cpp'}, core], ...
                [{'driftwalk/driftwalk_gateway.cpp', 'driftwalk/langevin.cpp', 'driftwalk/batch_kernels.cpp', ...
                  'driftwalk/noise.cpp', 'driftwalk/fit.cpp'}, core], ...
                [{'splitavg/splitavg_gateway.cpp', 'splitavg/fit.cpp', 'splitavg/split_average.cpp', 'splitavg/shuffle.cpp', ...
                  'splitavg/elapsed.cpp'}, core], ...
                {'teamprobe/teamprobe.cpp', 'core/team_limits.cpp', 'frame/keep_openmp_loaded.cpp'}});
  version_script = fullfile(root, 'cmake', 'mex.version');
  flags = '-std=c++17 -fopenmp -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror';

  for m = modules
    sources = fullfile(root, m.sources);
    fprintf('building %s\n', m.name);
    if exist('OCTAVE_VERSION', 'builtin')
      build_octave(m.name, sources, root, outdir, flags, version_script);
    else
      build_matlab(m.name, sources, root, outdir, flags, version_script);
    end
    copyfile(fullfile(root, 'octave', [m.name '.m']), outdir);
  end
  % The step-size helper is plain m-code; it goes beside the modules it serves.
  copyfile(fullfile(root, 'octave', 'stochl1_stepsize.m'), outdir);
  fprintf('built into %s\n', outdir);
end

function build_octave(name, sources, root, outdir, flags, version_script)
  % mkoctfile takes the word after a flag it does not know as that flag's value: the flags go
  % through the environment. It leaves object files in the current folder: work in a scratch one.
  saved = {getenv('CXXFLAGS'), getenv('LDFLAGS')};
  here = pwd();
  scratch = tempname();
  mkdir(scratch);
  cleanup = onCleanup(@() restore(saved, here, scratch));
  setenv('CXXFLAGS', [mkoctfile('-p', 'CXXFLAGS') ' ' flags]);
  setenv('LDFLAGS', [mkoctfile('-p', 'LDFLAGS') ' -fopenmp -Wl,--version-script=' version_script]);
  cd(scratch);
  [output, status] = mkoctfile('--mex', ['-I' root], '-o', fullfile(outdir, [name '.mex']), sources{:});
  if status ~= 0
    error('build:compile', 'mkoctfile failed for %s:\n%s', name, output);
  end
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
