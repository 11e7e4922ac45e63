# Sourced by the scripts that type at an interactive octave-cli prompt through tmux
# (interrupt_at_prompt.sh, progress_at_prompt.sh, bench/interrupt_delays.sh).
#   start_prompt NAME [WIDTH HEIGHT [DIR]]  a detached session running octave-cli, killed on exit;
#                                          it never dumps its workspace, so the kill (a SIGHUP to
#                                          octave) leaves no octave-workspace file, of GBs, in DIR
#   end_prompt                             the session killed, and octave waited for (10 s at most)
#   screen                                 what the pane shows, with its scrollback
#   wait_for TEXT [SECONDS]                until the screen shows TEXT (default 120 s), else fail
#   type_line TEXT                         TEXT typed at the prompt, then Enter
#   clear_screen                           clc and the scrollback cleared
#   record_output FILE                     from now on every byte the session prints, into FILE
# A loaded machine is slow: every wait polls until its text shows, and the bound only ends a hung
# session.
prompt_session=""

start_prompt() {
  prompt_session="stochl1-$1-$$"
  tmux new-session -d -s "$prompt_session" -c "${4:-$PWD}" -x "${2:-220}" -y "${3:-60}" \
    "octave-cli --norc --no-history --quiet --persist --eval 'crash_dumps_octave_core(false);'"
  trap 'tmux kill-session -t "$prompt_session" 2>/dev/null || true' EXIT
}

end_prompt() {
  local pid
  pid=$(tmux display-message -p -t "$prompt_session" '#{pane_pid}')
  tmux kill-session -t "$prompt_session"
  for ((k = 0; k < 200; ++k)); do
    if ! kill -0 "$pid" 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "octave-cli (pid $pid) still runs 10 s after its session was killed" >&2
  exit 1
}

screen() { tmux capture-pane -p -t "$prompt_session" -S -300; }

wait_for() {
  local polls=$((${2:-120} * 20))
  for ((k = 0; k < polls; ++k)); do
    if screen | grep -qF -- "$1"; then return 0; fi
    sleep 0.05
  done
  echo "timed out waiting for: $1" >&2
  screen >&2
  exit 1
}

type_line() {
  tmux send-keys -t "$prompt_session" -l "$1"
  tmux send-keys -t "$prompt_session" Enter
}

send_key() { tmux send-keys -t "$prompt_session" "$1"; }

clear_screen() {
  tmux send-keys -t "$prompt_session" "clc" Enter
  sleep 0.3
  tmux clear-history -t "$prompt_session"
}

record_output() { tmux pipe-pane -o -t "$prompt_session" "cat >> '$1'"; }
