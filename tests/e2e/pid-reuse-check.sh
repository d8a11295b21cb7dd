#!/usr/bin/env bash
# with-pulse.sh must signal only the processes it started: once the server has ended (a test
# killed it), its PID may already belong to another process, which must be left alone.
# Runs in a PID namespace of its own, where the freed PID can be handed to a decoy on purpose.
# Exit status 77: no PID namespace available (skipped).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if ! unshare --pid --fork --mount-proc true 2>/dev/null; then
  echo "pid-reuse: no PID namespace here; skipped"
  exit 77
fi
# A server in the namespace sees none of the outside PIDs and would delete the shared-memory
# segments of servers and clients outside as stale: it gets a /dev/shm of its own.
exec unshare --pid --fork --mount-proc bash -c '
  if ! mount -t tmpfs stemora-shm /dev/shm; then
    echo "pid-reuse: no private /dev/shm here; skipped"
    exit 77
  fi
  dir=$(mktemp -d)
  trap "rm -rf \"$dir\"" EXIT
  "$1" bash -c "
    kill -9 \$STEMORA_PULSE_PID
    # Gone once the wrapper has reaped it; then the next process started takes its PID.
    while [[ -e /proc/\$STEMORA_PULSE_PID ]]; do sleep 0.05; done
    echo \$((STEMORA_PULSE_PID - 1)) >/proc/sys/kernel/ns_last_pid
    sleep 60 &
    echo \$STEMORA_PULSE_PID \$! >\"$dir/pids\"
  "
  read -r server decoy <"$dir/pids"
  if [[ $decoy != "$server" ]]; then
    echo "pid-reuse: the decoy did not get the server'"'"'s PID; skipped"
    exit 77
  fi
  if ! kill -0 "$decoy" 2>/dev/null; then
    echo "pid-reuse: the wrapper signalled process $decoy, which it had not started"
    exit 1
  fi
  echo "pid-reuse: process $decoy (the server'"'"'s old PID) was left alone"
' pid-reuse "$here/with-pulse.sh"
