#!/usr/bin/env bash
# A private server that a test kills leaves nothing in /dev/shm: the server and its clients pass
# sound over the socket, not through shared memory that only a clean exit removes.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
segments() { ls /dev/shm 2>/dev/null | grep '^pulse-shm-' | sort; }
before=$(segments)
"$here/with-pulse.sh" bash -c '
  parec --latency-msec=20 -d vsink.monitor >/dev/null 2>&1 &
  sleep 0.5
  kill -9 "$STEMORA_PULSE_PID"
  wait
' || exit 1
left=$(comm -13 <(echo "$before") <(segments))
if [[ -n $left ]]; then
  echo "killed-server-shm: left in /dev/shm:" $left
  exit 1
fi
echo "killed-server-shm: nothing left in /dev/shm"
