#!/usr/bin/env bash
# opts.progress at an interactive octave-cli prompt, typed through tmux: one line is redrawn in
# place while the run goes on (the screen never shows two), each redraw counts more steps, Ctrl-C
# ends the line with a newline before the error; a run that finishes ends its line at 100 % with a
# newline before what follows; the same call without the option prints nothing. Nothing here
# depends on how fast the machine is: the long run goes on until three redraws were seen.
# Usage: progress_at_prompt.sh MODULE_DIR
set -euo pipefail
moddir=$1
source "$(dirname "$0")/octave_prompt.sh"
start_prompt progress 200 50
raw=$(mktemp)
trap 'tmux kill-session -t "$prompt_session" 2>/dev/null || true; rm -f "$raw"' EXIT
fail() { echo "$1"; echo "--- screen:"; screen; exit 1; }

type_line "addpath('$moddir'); randn('state', 1); X = randn(2000, 50); y = randn(2000, 1); disp('ready')"
wait_for "ready"
record_output "$raw"

# Every redraw, in the order the session printed them: the steps it counted.
counts() { grep -aoE 'kinkstep: [0-9]+% \([0-9]+ of 1000000000 steps\)' "$raw" | grep -oE '\([0-9]+' | tr -d '(' || true; }
type_line "w = kinkstep(X, y, 1e-6, 0.1, 1e9, 0, 0, struct('progress', true)); disp(['fini' 'shed'])"
most_lines=0
for ((k = 0; k < 2400; ++k)); do
  lines=$(screen | grep -cE '^kinkstep: [0-9]+% ' || true)
  ((lines > most_lines)) && most_lines=$lines
  (($(counts | sort -u | wc -l) >= 3)) && break
  sleep 0.05
done
mapfile -t seen < <(counts)
((${#seen[@]} >= 3)) || fail "fewer than three redraws in two minutes: ${seen[*]:-none}"
((most_lines == 1)) || fail "the screen showed $most_lines progress lines at once, not one redrawn in place"
for ((k = 1; k < ${#seen[@]}; ++k)); do
  ((seen[k] > seen[k - 1])) || fail "a redraw counted fewer steps than the one before: ${seen[*]}"
done
send_key C-c
wait_for "interrupted by the user"
screen | grep -B1 -F "interrupted by the user" | head -1 | grep -qE '^kinkstep: [0-9]+% \(' ||
  fail "Ctrl-C did not end the line with a newline before the error"
if screen | grep -qx "finished"; then fail "the long run was not interrupted"; fi

# A run that finishes: the line ends at 100 % and the next output starts on a line of its own.
clear_screen
type_line "w = kinkstep(X, y, 1e-6, 0.1, 2e5, 0, 0, struct('progress', true)); disp(['fini' 'shed'])"
wait_for "finished"
screen | grep -A1 -E '^kinkstep: 100% \(200000 of 200000 steps\), [0-9.]+ s elapsed *$' | grep -qx "finished" ||
  fail "the line did not end at 100 % with a newline"

# Without the option: nothing but what the caller prints.
clear_screen
type_line "w = kinkstep(X, y, 1e-6, 0.1, 2e5, 0, 0); disp(['qui' 'et'])"
wait_for "quiet"
if screen | grep -q "kinkstep:"; then fail "a call without the option drew a progress line"; fi
echo "progress at the prompt: redraws counted ${seen[*]} steps in place; Ctrl-C and the end each closed the line"
