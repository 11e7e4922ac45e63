#!/usr/bin/env bash
# Makes the package archive, installs it with pkg into a throwaway home and prefix, then in a
# fresh Octave loads it and checks that its modules work, show their help, and answer exactly
# like the build tree's modules (given as $1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
built=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
archive=$("$root/scripts/package" "$work")
export HOME=$work/home OMP_NUM_THREADS=2
mkdir -p "$HOME"
cd "$work"  # Octave puts the current folder first on its path
# Both package lists in the throwaway folder, and a local install even as root (whose installs
# are global by default), so that nothing outside it is touched.
octave() {
  octave-cli --no-gui --norc --quiet --no-history \
    --eval "pkg local_list '$work/packages'; pkg global_list '$work/global_packages'; $1"
}

octave "pkg prefix '$work/prefix' '$work/prefix-arch'; pkg install -local '$archive';"
grep -q stochl1 "$work/packages"  # installed locally, not globally

octave "
  pkg load stochl1;
  where = which('kinkstep');
  assert(strncmp(where, '$work/prefix-arch/', numel('$work/prefix-arch/')), 'kinkstep from %s', where);
  assert(strcmp(where(end-3:end), '.mex'), 'kinkstep from %s', where);
  for name = {'kinkstep', 'driftwalk', 'splitavg', 'teamprobe'}
    text = evalc(['help ' name{1}]);
    assert(! isempty(strfind(text, upper(name{1}))), 'no help for %s:\n%s', name{1}, text);
  end
  assert(exist('stochl1_demo') == 2, 'the demo is not installed');
  assert(exist('stochl1_stepsize') == 2, 'the step-size helper is not installed');
  assert(! isempty(strfind(evalc('help stochl1_stepsize'), 'STOCHL1_STEPSIZE')), 'no help for stochl1_stepsize');
  assert(! isempty(strfind(evalc('help stochl1_path'), 'STOCHL1_PATH')), 'no help for stochl1_path');
  out = evalc('teamprobe()');
  assert(numel(strfind(out, 'Hello World from thread')) == 2, out);

  randn('state', 1);
  X = randn(300, 6); y = X * [1; 0; -2; 0; 0; 0.5] + 0.01 * randn(300, 1);
  w_pkg = kinkstep(X, y, 0.01, 0.001, 500, 1, 0);
  assert(size(w_pkg), [6 1]);
  assert(all(isfinite([driftwalk(X, y, 1e-4, 10, -0.55, 0.1, 20, 50, 0); splitavg(X, y, 0.01, 0.001, 0)])));
  try
    evalc('kinkstep(X, y, 0.01, 0.001, 500, 2, 0)');
    error('no error for method 2');
  catch err
    assert(err.identifier, 'kinkstep:invalidMethod');
  end

  % Method 1 is reproducible for a fixed team size: the build tree's module must agree bit for bit.
  pkg unload stochl1; clear kinkstep; addpath('$built');
  assert(strncmp(which('kinkstep'), '$built', numel('$built')));
  w_built = kinkstep(X, y, 0.01, 0.001, 500, 1, 0);
  assert(isequal(w_pkg, w_built), 'installed and built kinkstep differ by %g', max(abs(w_pkg - w_built)));
  disp('package installed, loaded and checked');
"
