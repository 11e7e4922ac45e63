#!/usr/bin/env bash
# Ctrl-C at an octave-cli prompt during long runs of each solver: the prompt comes back with the
# module's error, and the next call in the same session works; the killed session leaves no file
# behind. Usage: interrupt_at_prompt.sh MODULE_DIR
set -euo pipefail
moddir=$(cd "$1" && pwd)
source "$(dirname "$0")/octave_prompt.sh"
scratch=$(mktemp -d)
start_prompt interrupt 220 60 "$scratch"
trap 'tmux kill-session -t "$prompt_session" 2>/dev/null || true; rm -rf "$scratch"' EXIT

type_line "addpath('$moddir'); randn('state', 1); X = randn(2000, 50); y = randn(2000, 1); disp('ready')"
wait_for "ready"
n=0
for call in "kinkstep(X, y, 1e-5, 0.1, 1e9, 0, 0)" "kinkstep(X, y, 1e-5, 0.1, 1e9, 1, 0)" \
            "driftwalk(X, y, 1e-6, 10, -0.55, 0.1, 20, 1e9, 0)"; do
  n=$((n + 1))
  type_line "disp(['star' 'ted$n']); w = $call; disp('finished')"
  wait_for "started$n"
  sleep 0.5
  send_key C-c
  wait_for "interrupted by the user"
  type_line "disp(sprintf('next%d=%d', $n, numel(kinkstep(X, y, 0.01, 0.1, 10, 0, 0)))); toc"
  wait_for "next$n=50"
  if screen | grep -qx "finished"; then echo "a run was not interrupted"; screen; exit 1; fi
  clear_screen
done

# Ctrl-C while the pager holds the printed lines (more on): the same error, not the host's own
# interrupt reported as a failure of the module.
type_line "more on; w = kinkstep(X, y, 1e-6, 0.1, 1e6, 0, 1); disp('finished')"
wait_for "Iteration 5,"
sleep 0.5
send_key C-c
sleep 0.5
send_key q
wait_for "interrupted by the user"
type_line "more off; e = lasterror(); disp(['id=' e.identifier])"
wait_for "id=kinkstep:interrupted"
clear_screen

# splitavg_mpi: Ctrl-C stops the job and the function says so. The run is made to wait once it has
# started (SPLITAVG_MPI_FAULT=stall:0), so the key surely meets it running.
if command -v mpirun >/dev/null && [ -x "$moddir/../cluster/splitavg-mpi" ]; then
  type_line "setenv('OMPI_ALLOW_RUN_AS_ROOT', '1'); setenv('OMPI_ALLOW_RUN_AS_ROOT_CONFIRM', '1'); f = [tempname() '.mat']; save('-v6', f, 'X', 'y'); setenv('SPLITAVG_MPI_FAULT', 'stall:0'); disp('saved')"
  wait_for "saved"
  type_line "w = splitavg_mpi(f, 1e-3, 1e-4, 0, struct('processes', 2)); disp('finished')"
  sleep 2
  send_key C-c
  wait_for "splitavg_mpi: interrupted"
  type_line "unsetenv('SPLITAVG_MPI_FAULT'); w = splitavg_mpi(f, 1e-3, 1e-4, 0, struct('processes', 2)); delete(f); disp(sprintf('again=%d', numel(w)))"
  wait_for "again=50"
  if screen | grep -qx "finished"; then echo "splitavg_mpi was not interrupted"; screen; exit 1; fi
fi
end_prompt
left=$(ls -A "$scratch")
if [ -n "$left" ]; then echo "the killed session left files in its folder: $left"; exit 1; fi
echo "interrupt at the prompt: every run stopped, the session carried on, and its end left no file"
