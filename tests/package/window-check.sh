#!/bin/sh
# Run inside the Debian root under xvfb-run: starts stemora, waits (30 s at most) for its
# window to be mapped, sends SIGTERM and prints how the program ended; exits with its status.
stemora >/tmp/stemora.log 2>&1 &
pid=$!
i=0
shown=
while [ $i -lt 300 ]; do
  if xdotool search --onlyvisible --pid "$pid" >/dev/null 2>&1; then
    shown=1
    break
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
  i=$((i + 1))
done
if [ -z "$shown" ]; then
  kill -KILL "$pid" 2>/dev/null
  echo "no window within 30 s; its output:"
  cat /tmp/stemora.log
  exit 3
fi
# A program that does not end within 20 s of SIGTERM is killed, and that is a failure.
(sleep 20 && kill -KILL "$pid") 2>/dev/null &
watchdog=$!
kill -TERM "$pid"
wait "$pid"
status=$?
kill "$watchdog" 2>/dev/null
echo "window shown, status $status after SIGTERM"
exit "$status"
