#!/usr/bin/env bash
# opts.progress at an interactive octave-cli prompt, typed through tmux: one line is redrawn in
# place while the run goes on (the screen never shows two), its percentage grows, it ends at 100 %
# with a newline before what follows; the same call without the option prints nothing.
# Usage: progress_at_prompt.sh MODULE_DIR
set -euo pipefail
moddir=$1
session=stochl1-progress-$$
tmux new-session -d -s "$session" -x 200 -y 50 "octave-cli --norc --no-history --quiet"
trap 'tmux kill-session -t "$session" 2>/dev/null || true' EXIT

screen() { tmux capture-pane -p -t "$session" -S -300; }
# Waits until the screen shows the text, for at most 120 seconds (a loaded machine is slow).
wait_for() {
  for _ in $(seq 1 1200); do
    if screen | grep -qF -- "$1"; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for: $1"; screen; exit 1
}
type_line() { tmux send-keys -t "$session" -l "$1"; tmux send-keys -t "$session" Enter; }

type_line "addpath('$moddir'); randn('state', 1); X = randn(2e4, 500); y = randn(2e4, 1); disp('ready')"
wait_for "ready"
# 2e6 steps of 500 features: a few seconds on an idle machine, longer on a loaded one.
type_line "w = kinkstep(X, y, 1e-6, 0.1, 2e6, 0, 0, struct('progress', true)); disp(['fini' 'shed'])"
seen=()
most_lines=0
for _ in $(seq 1 1200); do
  s=$(screen)
  lines=$(grep -cE '^kinkstep: [0-9]+% ' <<<"$s" || true)
  (( lines > most_lines )) && most_lines=$lines
  p=$(grep -oE '^kinkstep: [0-9]+%' <<<"$s" | tail -1 | grep -oE '[0-9]+' || true)
  if [ -n "$p" ] && [ "$p" != 100 ] && { [ ${#seen[@]} -eq 0 ] || [ "${seen[-1]}" != "$p" ]; }; then seen+=("$p"); fi
  if grep -qx "finished" <<<"$s"; then break; fi
  sleep 0.1
done
s=$(screen)
fail() { echo "$1"; echo "percentages seen while running: ${seen[*]:-none}"; echo "$s"; exit 1; }
grep -qx "finished" <<<"$s" || fail "the run did not finish"
(( most_lines == 1 )) || fail "the screen showed $most_lines progress lines at once, not one redrawn in place"
(( ${#seen[@]} >= 2 )) || fail "the line was not updated while the run went on"
for ((k = 1; k < ${#seen[@]}; ++k)); do
  (( seen[k] > seen[k - 1] )) || fail "the percentage went back"
done
# The line ends at 100 % and the next output starts on a line of its own.
grep -A1 -E '^kinkstep: 100% \(2000000 of 2000000 steps\), [0-9.]+ s elapsed *$' <<<"$s" | grep -qx "finished" ||
  fail "the line did not end at 100 % with a newline"

# Without the option: nothing but what the caller prints.
tmux send-keys -t "$session" "clc" Enter
sleep 0.5
type_line "w = kinkstep(X, y, 1e-6, 0.1, 2e5, 0, 0); disp(['qui' 'et'])"
wait_for "quiet"
# What the call printed: the screen below the line typed (clc leaves the scrollback).
s=$(screen | awk '/disp\(\[.qui. .et.\]\)/ { after = "" } { after = after $0 "\n" } END { printf "%s", after }')
if grep -q "kinkstep:" <<<"$s"; then fail "a call without the option drew a progress line"; fi
grep -qx "quiet" <<<"$s" || fail "the call without the option did not finish"
echo "progress at the prompt: the line grew through ${seen[*]} % in place and ended at 100 % with a newline"
