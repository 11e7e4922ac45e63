#!/usr/bin/env bash
# Signals other than Ctrl-C during a call. A child process of the session that ends (SIGCHLD) does
# not stop the run; a termination (SIGTERM) ends the session, as it does between statements, rather
# than being taken for a Ctrl-C that the script then carries on after.
# Usage: signals_during_call.sh MODULE_DIR
set -euo pipefail
moddir=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
setup="addpath('$moddir'); sigterm_dumps_octave_core(false); X = randn(20, 3); y = randn(20, 1);"

# Each call outlasts the child started just before it (0.1 s against about half a second).
out=$(octave-cli --norc --no-history --quiet --eval "$setup
  system('sleep 0.1', false, 'async'); w = kinkstep(X, y, 0.01, 0, 2^25, 0, 0);
  system('sleep 0.1', false, 'async'); w = splitavg(repmat(X, 2e5, 1), repmat(y, 2e5, 1), 0.01, 0, 0);
  system('sleep 0.1', false, 'async'); w = driftwalk(X, y, 1e-4, 10, -0.55, 0.1, 5, 2e6, 0);
  disp('all finished')" 2>&1) || true
if ! grep -qx "all finished" <<<"$out"; then
  echo "a child process that ended stopped a call:"; echo "$out"; exit 1
fi

octave-cli --norc --no-history --quiet --eval "$setup disp('started');
  for k = 1:3, try, w = kinkstep(X, y, 0.01, 0, 2^30, 0, 0); catch e, disp(e.identifier); end, end;
  disp('carried on')" > term.log 2>&1 &
pid=$!
for ((k = 0; k < 600; ++k)); do grep -q started term.log && break; sleep 0.05; done
sleep 0.5
kill -TERM "$pid"
for ((k = 0; k < 200; ++k)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"; echo "octave-cli ran on 10 s after SIGTERM:"; cat term.log; exit 1
fi
rc=0; wait "$pid" || rc=$?
if [ "$rc" -eq 0 ] || grep -q "carried on\|interrupted" term.log; then
  echo "SIGTERM was taken for a Ctrl-C (status $rc):"; cat term.log; exit 1
fi
echo "signals during a call: a child's end let the runs finish, a termination ended the session (status $rc)"
