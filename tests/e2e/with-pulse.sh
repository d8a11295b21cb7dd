#!/usr/bin/env bash
# Runs one command against a private PulseAudio server that plays a tone.
#
#   with-pulse.sh [--tone HZ | --silence] COMMAND [ARGS...]
#
# Everything lives in a fresh temporary folder: the server's socket, runtime folder, home and
# log. ALSA's "default" device reaches the server through PULSE_SERVER (the pulseaudio package
# routes ALSA's default to PulseAudio). A player stays attached for the whole run: an idle null
# sink's monitor delivers in bursts about 2 s apart. The command gets STEMORA_PULSE_PID, the
# server's PID, so a test can kill the server mid-capture, and STEMORA_SOUND_RESTART, which
# kills and restarts server, player and listener (see sound-control.sh). Every process started
# here is stopped by its PID; the exit status is the command's.
#
# The listener records with a latency of STEMORA_PULSE_LISTENER_MS milliseconds (20 unless set).
# The null sink then renders in steps of that length, and the server hands every recorder of its
# monitor a packet per step, whatever the recorder asked for: a listener as slow as the program
# under test measures the program alone, a fast one measures it beside a low-latency recorder.
set -uo pipefail
# shellcheck source=tests/e2e/sound-control.sh
source "$(dirname "${BASH_SOURCE[0]}")/sound-control.sh"

sound_options "$@"
shift "$option_count"

for tool in pulseaudio pactl parec sox; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-pulse: $tool is not installed" >&2
    exit 2
  fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-pulse.XXXXXX")
server_pid=
player_pid=
listener_pid=

# shellcheck source=own-processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/own-processes.sh"

stop() {
  stop_ours "$command_pid" "$listener_pid" "$player_pid" "$server_pid"
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM

mkdir -m 0700 "$dir/runtime" "$dir/home"
socket=$dir/pulse.sock
export HOME=$dir/home
export XDG_RUNTIME_DIR=$dir/runtime
export PULSE_SERVER=unix:$socket
# Keep a client from spawning a server of its own when ours is gone. No shared memory, here or
# in the server: a server that a test kills could not remove its segments from /dev/shm.
export PULSE_CLIENTCONFIG=$dir/client.conf
printf 'autospawn = no\nenable-shm = no\n' >"$PULSE_CLIENTCONFIG"

cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix socket=$socket auth-anonymous=1
load-module module-null-sink sink_name=vsink rate=48000 channels=2
set-default-sink vsink
set-default-source vsink.monitor
PA

# Kills server, player and listener at once, as a crash of the server would.
stack_kill() {
  local pid
  for pid in "$server_pid" "$player_pid" "$listener_pid"; do
    [[ -n $pid ]] && ours "$pid" && kill -9 "$pid" 2>/dev/null
  done
  for pid in "$server_pid" "$player_pid" "$listener_pid"; do
    while [[ -n $pid ]] && ours "$pid"; do
      sleep 0.02
    done
  done
  server_pid= player_pid= listener_pid=
}

stack_signal() {
  [[ -n $server_pid ]] && ours "$server_pid" && kill -"$1" "$server_pid"
}

stack_start() {
  pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
    --use-pid-file=no --enable-memfd=no --disable-shm=yes --log-target="file:$dir/server.log" &
  server_pid=$!
  # Disowned: a test that kills the server must not make this shell report it.
  disown "$server_pid"

  # Until it answers, or is gone.
  await "pactl info || ! kill -0 $server_pid" 50
  if ! pactl info >/dev/null 2>&1; then
    echo "with-pulse: the private PulseAudio server did not start; its log:" >&2
    cat "$dir/server.log" >&2
    return 1
  fi

  # The players' complaints when a test kills the server go to logs, not the test's output.
  sox -q "$dir/tone.wav" -t pulseaudio vsink repeat - 2>"$dir/player.log" &
  player_pid=$!
  disown "$player_pid"
  # The monitor delivers steadily only once the player's stream is connected.
  if ! await '[[ -n $(pactl list short sink-inputs) ]]' 50; then
    echo "with-pulse: the player did not connect to the private server" >&2
    cat "$dir/player.log" >&2
    return 1
  fi
  # Without a low-latency recorder the null sink renders in blocks of about 2 s, so a new
  # recorder would wait that long for its first bytes: keep one listening throughout.
  parec --latency-msec="${STEMORA_PULSE_LISTENER_MS:-20}" -d vsink.monitor >/dev/null 2>"$dir/listener.log" &
  listener_pid=$!
  disown "$listener_pid"
  sleep 0.3
}

make_tone "$dir/tone.wav"
stack_start || exit 1
control_setup "$dir"

# The server's PID at the start; a restart gives it another.
export STEMORA_PULSE_PID=$server_pid
control_run "$@"
exit $?
