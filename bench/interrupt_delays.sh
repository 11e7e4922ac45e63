#!/usr/bin/env bash
# How long Ctrl-C takes to stop each module in each phase, at an interactive octave-cli prompt
# typed through tmux. For each case the key is sent at a point of the run (after a delay, or as
# soon as a progress line shows), and the delay is the time from sending it to the module's
# interrupted error, as the session's own clock reads it. Prints the worst delay per case.
# Usage: bench/interrupt_delays.sh [MODULE_DIR] [REPEATS]   (default build/octave, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
moddir=$(cd "${1:-$root/build/octave}" && pwd)
repeats=${2:-3}
source "$root/octave/tests/octave_prompt.sh"
start_prompt delays 250 50 "$root"

type_line "addpath('$moddir'); more off; randn('state', 1);"
type_line "A = randn(2e4, 1000); b = randn(2e4, 1); W = randn(10, 2e6); c = randn(10, 1); disp(['ready', '1'])"
wait_for "ready1"
type_line "S = randn(2.5e6, 100); s = randn(2.5e6, 1); disp(['ready', '2'])"
wait_for "ready2"
type_line "T = sparse(1e8, 3); T(5, 1) = 1; T(1e8, 3) = 2; t = zeros(1e8, 1); F = zeros(1e8, 1); F(5) = 1; disp(['ready', '3'])"
wait_for "ready3"
clear_screen

# name | call (assigned to r) | when to press: a delay in seconds, or "after:TEXT"
cases=(
  "kinkstep m0 steps, 2e4 x 1000|r = kinkstep(A, b, 1e-6, 0.1, 1e6, 0, 0)|1.0"
  "kinkstep m0 steps + objective history|[r, info] = kinkstep(A, b, 1e-6, 0.1, 1e6, 0, 0)|1.0"
  "kinkstep m0 steps, 10 x 2e6|r = kinkstep(W, c, 1e-6, 0.1, 1e6, 0, 0)|1.5"
  "kinkstep m1 iterations + objective history|[r, info] = kinkstep(A, b, 1e-6, 0.1, 1e6, 1, 0)|1.0"
  "driftwalk iterations (batch 2e4) + history|[r, info] = driftwalk(A, b, 1e-9, 10, -0.55, 0.1, 2e4, 1e6, 0)|1.0"
  "splitavg conversion, 2.5e6 x 100|r = splitavg(S, s, 1e-3, 0.1, 1)|0.3"
  "splitavg initial objective|r = splitavg(S, s, 1e-3, 0.1, 1)|after:Number of threads"
  "splitavg pass|r = splitavg(S, s, 1e-3, 0.1, 1)|after:Initial object function"
  "kinkstep m0, sparse 1e8 x 3, 2 entries: rows|r = kinkstep(T, t, 0.1, 0, 10, 0, 0)|1.0"
  "kinkstep m0, full 1e8 x 1: labels|r = kinkstep(F, t, 0.1, 0, 10, 0, 0)|1.0"
  "driftwalk, sparse 1e8 x 3: permutations|r = driftwalk(T, t, 1e-3, 1, 0, 0, 1, 1, 0)|3.0"
  "splitavg, full 1e8 x 1: the order of the rows|r = splitavg(F, t, 0.1, 0, 0)|8.0"
)
printf '%-46s %10s %s\n' "case" "worst s" "(each)"
for entry in "${cases[@]}"; do
  IFS='|' read -r name call when <<<"$entry"
  delays=()
  for _ in $(seq 1 "$repeats"); do
    type_line "try, disp(['call', ' started']); $call; disp('not interrupted'), catch e, printf('%s%s %s at %.6f\n', 'cau', 'ght', e.identifier, time()), end"
    wait_for "call started"
    if [[ $when == after:* ]]; then wait_for "${when#after:}"; else sleep "$when"; fi
    pressed=$(date +%s.%N)
    send_key C-c
    wait_for "caught "
    line=$(screen | grep -F "caught " | tail -1)
    if ! grep -q "interrupted" <<<"$line"; then echo "$name: not an interrupt: $line" >&2; exit 1; fi
    caught=${line##* at }
    delays+=("$(awk -v a="$caught" -v b="$pressed" 'BEGIN { printf "%.3f", a - b }')")
    clear_screen
  done
  worst=$(printf '%s\n' "${delays[@]}" | sort -g | tail -1)
  printf '%-46s %10s (%s)\n' "$name" "$worst" "${delays[*]}"
done
# For comparison: what releasing 2 GB of touched memory costs this session (an interrupted
# splitavg on S releases its 2 GB of rows before its error is raised).
type_line "T = S + 0; t0 = tic; clear T; printf('%s %.3f\n', ['release', ' of 2 GB:'], toc(t0))"
wait_for "release of 2 GB:"
printf '%-46s %10s\n' "(release of 2 GB, clear of a 2.5e6 x 100 matrix)" "$(screen | grep -F 'release of 2 GB:' | tail -1 | awk '{print $NF}')"
