#!/usr/bin/env bash
# Runs one command against a private PipeWire stack (pipewire, wireplumber, pipewire-pulse) that
# plays a tone; the twin of with-pulse.sh, with the same interface.
#
#   with-pipewire.sh [--tone HZ | --silence] COMMAND [ARGS...]
#
# Everything lives in a fresh temporary folder: home, runtime, configuration and state folders,
# the logs. ALSA's "default" device reaches the stack through the PulseAudio plugin and
# pipewire-pulse (as on a desktop without pipewire-alsa), which finds it in the runtime folder.
# The command gets STEMORA_PIPEWIRE_PID, the pipewire daemon's PID, and STEMORA_SOUND_RESTART,
# which kills and restarts the whole stack (see sound-control.sh). Every process started here is
# stopped by its PID; the exit status is the command's.
set -uo pipefail
# shellcheck source=tests/e2e/sound-control.sh
source "$(dirname "${BASH_SOURCE[0]}")/sound-control.sh"

sound_options "$@"
shift "$option_count"

for tool in pipewire wireplumber pipewire-pulse pw-cli pw-metadata pactl sox; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-pipewire: $tool is not installed" >&2
    exit 2
  fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-pipewire.XXXXXX")
pipewire_pid=
wireplumber_pid=
pulse_pid=
player_pid=

# shellcheck source=own-processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/own-processes.sh"

stop() {
  stop_ours "$command_pid" "$player_pid" "$pulse_pid" "$wireplumber_pid" "$pipewire_pid"
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM

mkdir -m 0700 "$dir/runtime" "$dir/home" "$dir/config" "$dir/state"
export HOME=$dir/home
export XDG_RUNTIME_DIR=$dir/runtime
export XDG_CONFIG_HOME=$dir/config
export XDG_STATE_HOME=$dir/state
# Nothing may lead a client (or the stack itself) to a server other than ours.
unset DBUS_SESSION_BUS_ADDRESS PULSE_SERVER PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR ALSA_CONFIG_PATH
# No client may start a PulseAudio server of its own while the stack is down.
export PULSE_CLIENTCONFIG=$dir/client.conf
printf 'autospawn = no\nenable-shm = no\n' >"$PULSE_CLIENTCONFIG"

# WirePlumber without a session bus: without both settings it exits at once (status 70).
mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d"
cat >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-no-dbus.lua" <<'LUA'
alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
LUA

# The null sink is the daemon's own, so that WirePlumber can choose it as the default before
# pipewire-pulse takes its first client (see stack_start); a recorder that connected at once
# never meets pipewire-pulse's fallback sink.
mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/50-vsink.conf" <<'CONF'
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = vsink
      node.description = vsink
      media.class = Audio/Sink
      audio.rate = 48000
      audio.channels = 2
      audio.position = [ FL FR ]
    }
  }
]
CONF

# A crash takes the three daemons and the player: pipewire-pulse would otherwise live on,
# refusing clients.
stack_kill() {
  local pid
  for pid in "$pipewire_pid" "$wireplumber_pid" "$pulse_pid" "$player_pid"; do
    [[ -n $pid ]] && ours "$pid" && kill -9 "$pid" 2>/dev/null
  done
  for pid in "$pipewire_pid" "$wireplumber_pid" "$pulse_pid" "$player_pid"; do
    while [[ -n $pid ]] && ours "$pid"; do
      sleep 0.02
    done
  done
  pipewire_pid= wireplumber_pid= pulse_pid= player_pid=
}

# The three daemons together: a client of pipewire-pulse hangs as soon as any of them does.
stack_signal() {
  local pid
  for pid in "$pipewire_pid" "$wireplumber_pid" "$pulse_pid"; do
    [[ -n $pid ]] && ours "$pid" && { kill -"$1" "$pid" || return 1; }
  done
  return 0
}

# Waits up to $2 tenths of a second for the command $1 to succeed; false when it never does.
stack_failed() {
  echo "with-pipewire: $1; the logs:" >&2
  tail -n 20 "$dir"/*.log >&2
  return 1
}

stack_start() {
  # Disowned, each of them: a test that kills the stack must not make this shell report it.
  pipewire >"$dir/pipewire.log" 2>&1 &
  pipewire_pid=$!
  disown "$pipewire_pid"
  # The daemon answering, not its socket: a killed daemon leaves the socket file behind.
  await 'pw-cli info 0' 100 || stack_failed "pipewire did not start" || return 1
  wireplumber >"$dir/wireplumber.log" 2>&1 &
  wireplumber_pid=$!
  disown "$wireplumber_pid"
  # WirePlumber set up (its defaults chosen) before pipewire-pulse takes a client: a recorder
  # that came in earlier now and then got no answer, and with it every other pulse client
  # (new ones too), until its client library gave up 30 s later.
  await '[[ $(pw-metadata -n default 0 default.audio.source) == *vsink* ]]' 100 ||
    stack_failed "wireplumber did not choose the defaults" || return 1
  # Made here, not by whichever of pipewire-pulse and its first client comes first: when a
  # client makes it in between pipewire-pulse's look and its own mkdir, pipewire-pulse
  # gives up ("File exists").
  [[ -d $XDG_RUNTIME_DIR/pulse ]] || mkdir -m 0700 "$XDG_RUNTIME_DIR/pulse"
  pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
  pulse_pid=$!
  disown "$pulse_pid"
  await 'pactl info' 100 || stack_failed "pipewire-pulse did not answer" || return 1
  # So that a test never passes on another stack than the one it names.
  pactl info | grep -q '^Server Name: PulseAudio (on PipeWire' ||
    stack_failed "the server answering is not PipeWire's: $(pactl info | grep '^Server Name')" ||
    return 1
  # Ours as the configured defaults (the source as pipewire-pulse names it), until they hold.
  local defaults=
  for _ in $(seq 100); do
    pactl set-default-sink vsink 2>/dev/null
    pactl set-default-source vsink.monitor 2>/dev/null
    if [[ $(pactl get-default-source 2>/dev/null) == vsink.monitor &&
      $(pactl get-default-sink 2>/dev/null) == vsink ]]; then
      defaults=1
      break
    fi
    sleep 0.1
  done
  [[ -n $defaults ]] || stack_failed "the null sink did not become the default" || return 1

  sox -q "$dir/tone.wav" -t pulseaudio vsink repeat - 2>"$dir/player.log" &
  player_pid=$!
  disown "$player_pid"
  await '[[ -n $(pactl list short sink-inputs) ]]' 100 ||
    stack_failed "the player did not connect" || return 1
  # PipeWire's monitor delivers within about 0.1 s; no standing listener is needed.
  sleep 0.2
}

make_tone "$dir/tone.wav"
stack_start || exit 1
control_setup "$dir"

# The daemon's PID at the start; a restart gives it another.
export STEMORA_PIPEWIRE_PID=$pipewire_pid
control_run "$@"
exit $?
