# shellcheck shell=bash
# The restart protocol of the sound-server wrappers (with-pulse.sh, with-pipewire.sh). Sourced,
# not run. The wrapper defines
#
#   stack_kill    kills its server processes outright (SIGKILL), as a crash would
#   stack_start   starts them again and returns 0 once clients are served (else non-zero)
#   stack_signal  sends signal $1 (STOP, CONT) to its server processes, the player aside
#
# and calls control_run COMMAND [ARGS...] in place of running the command itself. The command
# then finds in STEMORA_SOUND_RESTART a program that asks the wrapper for
#
#   $STEMORA_SOUND_RESTART            kill the stack and start it again
#   $STEMORA_SOUND_RESTART --kill     kill only
#   $STEMORA_SOUND_RESTART --start    start only (after --kill)
#   $STEMORA_SOUND_RESTART --stop     stop the servers (SIGSTOP): they hang, as a stalled
#                                     server does, without going away
#   $STEMORA_SOUND_RESTART --cont     let them go on (SIGCONT)
#
# and returns once that is done: status 0 when the stack serves clients again (or is down, for
# --kill). The work runs in the wrapper itself, so every server process stays a child of the
# wrapper, which stops it by PID at the end. The command runs in the background meanwhile and
# the wrapper's exit status is the command's.

control_dir=
command_pid=

# The wrappers' own options, [--tone HZ | --silence], before the command: sets tone (empty for
# silence) and option_count, the number of arguments to shift; usage and exit 2 without a command.
sound_options() {
  tone=440
  option_count=0
  if [[ ${1-} == --tone ]]; then
    tone=$2
    option_count=2
  elif [[ ${1-} == --silence ]]; then
    tone=
    option_count=1
  fi
  if (($# <= option_count)); then
    echo "usage: $0 [--tone HZ | --silence] COMMAND [ARGS...]" >&2
    exit 2
  fi
}

# $1: the file to write: one second of the tone (a whole number of cycles, so it repeats without
# a seam) or of silence.
make_tone() {
  if [[ -n $tone ]]; then
    sox -q -n -r 48000 -b 16 -c 2 "$1" synth 1 sine "$tone" vol 0.5
  else
    sox -q -n -r 48000 -b 16 -c 2 "$1" trim 0 1
  fi
}

# $1: a condition (a command line), $2: how many tries, 0.1 s apart. Status 0 once it holds.
await() {
  for _ in $(seq "$2"); do
    eval "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# $1: a folder of the wrapper's own.
control_setup() {
  control_dir=$1/control
  mkdir -p "$control_dir"
  cat >"$control_dir/restart" <<SCRIPT
#!/usr/bin/env bash
# Asks the sound-server wrapper (PID $$) to kill and/or start its stack; see sound-control.sh.
set -u
case \${1-} in
  --kill) what=kill ;;
  --start) what=start ;;
  --stop) what=stop ;;
  --cont) what=cont ;;
  '') what=restart ;;
  *) echo "usage: \$0 [--kill | --start | --stop | --cont]" >&2; exit 2 ;;
esac
exec 9>"$control_dir/lock"
flock 9
rm -f "$control_dir/reply"
echo "\$what" >"$control_dir/request"
kill -USR1 $$ || exit 1
# Starting takes a few seconds at most; a wrapper that does not answer within 60 s is stuck.
for _ in \$(seq 1200); do
  if [[ -s "$control_dir/reply" ]]; then
    exit "\$(<"$control_dir/reply")"
  fi
  sleep 0.05
done
echo "sound-control: no answer from the wrapper" >&2
exit 1
SCRIPT
  chmod +x "$control_dir/restart"
  export STEMORA_SOUND_RESTART=$control_dir/restart
}

control_pending=

control_serve() {
  local what status=0
  what=$(<"$control_dir/request")
  case $what in
    kill) stack_kill ;;
    start) stack_start || status=1 ;;
    stop) stack_signal STOP || status=1 ;;
    cont) stack_signal CONT || status=1 ;;
    restart)
      stack_kill
      stack_start || status=1
      ;;
  esac
  echo "$status" >"$control_dir/reply"
}

# Runs the command in the background, serving requests until it ends; returns its status.
control_run() {
  trap 'control_pending=1' USR1
  # As if run in the foreground: bash would have a background command ignore SIGINT and
  # SIGQUIT, and so every program it starts.
  (
    trap - INT QUIT
    exec "$@"
  ) &
  command_pid=$!
  local status
  while :; do
    # Cut short by a request's signal, the wait is simply made again (bash keeps the status of
    # a command that ended meanwhile).
    wait "$command_pid"
    status=$?
    [[ -n $control_pending ]] || break
    control_pending=
    control_serve
  done
  command_pid=
  return "$status"
}
