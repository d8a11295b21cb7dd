# shellcheck shell=bash
# Runs the real tuner on a private virtual display, for the window tests and scripts/screenshot.
# Sourced, not run. What a caller uses:
#
#   harness_begin                 temporary folder, Xvfb on a free display (DISPLAY exported);
#                                 stopped again on exit
#   stemora_start BINARY          the tuner on that display (stemora_pid), its output in
#                                 $harness_dir/stemora.log
#   stemora_window                waits for the main window (by its caption) and sets window
#   grab FILE                     the window's client area as a binary PPM (PNG for *.png)
#   spectrum_wait SECONDS         waits until the centre chart shows a spectrum (spectrum_line)
#   close_wm / close_signal SIG   asks the tuner to end, as a window manager or a session does
#   stemora_wait SECONDS          waits for the tuner to end: stemora_status, stemora_seconds;
#                                 false when it is still running then
#
# Every process started here is stopped by its PID, never by name.

harness_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
probe=$harness_here/window-probe.py
harness_dir=
xvfb_pid=
stemora_pid=
stemora_status=
stemora_seconds=
window=
spectrum_line=

# Ends the test with a message; the exit trap cleans up.
fail() {
  echo "FAIL: $*" >&2
  if [[ -n $harness_dir && -s $harness_dir/stemora.log ]]; then
    echo "--- the tuner's output:" >&2
    cat "$harness_dir/stemora.log" >&2
  fi
  if [[ -n $harness_dir && -s $harness_dir/xvfb.log ]]; then
    echo "--- Xvfb's output:" >&2
    cat "$harness_dir/xvfb.log" >&2
  fi
  exit 1
}

note() {
  echo "$*"
}

# Process $1 is a child of this shell and has not ended (a zombie has ended).
running() {
  local stat state ppid
  { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
  read -r state ppid _ <<<"${stat##*) }"
  [[ $ppid == "$$" && $state != Z ]]
}

harness_end() {
  local pid
  for pid in "$stemora_pid" "$xvfb_pid"; do
    [[ -n $pid ]] && running "$pid" || continue
    kill "$pid" 2>/dev/null
    for _ in $(seq 30); do
      running "$pid" || break
      sleep 0.1
    done
    running "$pid" && kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  [[ -n $harness_dir ]] && rm -rf "$harness_dir"
}

harness_begin() {
  local tool
  for tool in Xvfb xdotool import xwininfo python3; do
    command -v "$tool" >/dev/null || {
      echo "x11-harness: $tool is not installed" >&2
      exit 2
    }
  done
  harness_dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-x11.XXXXXX")
  trap harness_end EXIT
  trap 'exit 130' INT TERM
  : >"$harness_dir/display"
  # -displayfd: the server picks a free display number and writes it once it accepts clients.
  # -noreset: by default the server resets whenever its last client leaves, and a client that
  # connects just then (the tuner after a probe, or after the tuner before it) is turned away.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$harness_dir/display" \
    >"$harness_dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local number=
  for _ in $(seq 100); do
    number=$(<"$harness_dir/display")
    [[ -n $number ]] && break
    running "$xvfb_pid" || break
    sleep 0.05
  done
  if [[ -z $number ]]; then
    echo "x11-harness: Xvfb did not start; its log:" >&2
    cat "$harness_dir/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=:$number
  # The number comes once the server listens; a client must be able to get in before the
  # tuner tries.
  for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    running "$xvfb_pid" || break
    sleep 0.1
  done
  echo "x11-harness: no connection to Xvfb on $DISPLAY; its log:" >&2
  cat "$harness_dir/xvfb.log" >&2
  exit 1
}

stemora_start() {
  local binary=$1
  [[ -x $binary ]] || fail "no tuner program at $binary"
  # At the design size: the checks count pixels, so no scaling from the caller's desktop.
  env -u QT_SCREEN_SCALE_FACTORS -u QT_AUTO_SCREEN_SCALE_FACTOR -u QT_ENABLE_HIGHDPI_SCALING \
    -u QT_FONT_DPI -u QT_STYLE_OVERRIDE QT_SCALE_FACTOR=1 QT_QPA_PLATFORM=xcb \
    "$binary" >"$harness_dir/stemora.log" 2>&1 &
  stemora_pid=$!
  stemora_status=
  window=
}

# Visible top-level windows whose caption matches $1 (a regular expression).
windows_named() {
  xdotool search --onlyvisible --name "$1" 2>/dev/null
}

stemora_window() {
  local found
  for _ in $(seq 150); do
    running "$stemora_pid" || fail "the tuner ended before its window came up"
    found=$(windows_named 'Corvale' | head -n 1)
    if [[ -n $found ]]; then
      window=$found
      # Give the first paint a moment to reach the server.
      sleep 0.3
      return 0
    fi
    sleep 0.1
  done
  fail "no window captioned Corvale within 15 s"
}

# Client-area size as "WIDTH HEIGHT".
window_size() {
  xwininfo -id "$window" | awk '/^ +Width:/ { w = $2 } /^ +Height:/ { h = $2 } END { print w, h }'
}

grab() {
  local file=$1 options=(-depth 8)
  # Pictures kept for people carry no time stamps, so an unchanged window gives the same file.
  [[ $file == *.png ]] && options+=(-strip -define "png:exclude-chunks=date,time" "png:$file")
  [[ $file == *.png ]] || options+=("ppm:$file")
  import -window "$window" "${options[@]}" 2>>"$harness_dir/import.log" ||
    fail "could not take a screenshot of window $window"
}

# Spectrum pixels of the centre chart as "COUNT X Y" (X, Y: its topmost pixel; -1 when none).
spectrum_now() {
  grab "$harness_dir/spectrum.ppm"
  python3 "$probe" spectrum "$harness_dir/spectrum.ppm"
}

# Waits until the centre chart's spectrum peaks at its middle column; false after $1 seconds.
spectrum_wait() {
  local deadline=$((SECONDS + $1)) count x
  while ((SECONDS < deadline)); do
    running "$stemora_pid" || fail "the tuner ended while waiting for a spectrum"
    spectrum_line=$(spectrum_now)
    read -r count x _ <<<"$spectrum_line"
    ((count > 0 && x >= 298 && x <= 302)) && return 0
    sleep 0.25
  done
  return 1
}

close_wm() {
  python3 "$probe" close "$window" || fail "could not send WM_DELETE_WINDOW"
  close_started=$EPOCHREALTIME
}

close_signal() {
  kill -s "$1" "$stemora_pid" || fail "could not send $1"
  close_started=$EPOCHREALTIME
}

stemora_wait() {
  local limit=$1 deadline
  deadline=$(awk -v s="$close_started" -v l="$limit" 'BEGIN { printf "%.3f", s + l }')
  while running "$stemora_pid"; do
    if awk -v now="$EPOCHREALTIME" -v d="$deadline" 'BEGIN { exit !(now > d) }'; then
      stemora_seconds=
      return 1
    fi
    sleep 0.05
  done
  stemora_seconds=$(awk -v s="$close_started" -v now="$EPOCHREALTIME" \
    'BEGIN { printf "%.2f", now - s }')
  wait "$stemora_pid"
  stemora_status=$?
  stemora_pid=
  return 0
}

# Waits up to $2 seconds for the tuner to end after a close asked for by $1 ("WM_DELETE_WINDOW",
# "SIGTERM" ...), and fails unless it ended with status 0 and stopped its capture thread itself.
expect_clean_end() {
  local how=$1 limit=$2
  stemora_wait "$limit" || fail "still running ${limit} s after $how"
  ((stemora_status == 0)) || fail "ended with status $stemora_status after $how"
  if grep -q 'capture thread did not end' "$harness_dir/stemora.log"; then
    fail "left its capture thread running after $how"
  fi
  note "ok: ended with status 0 ${stemora_seconds} s after $how"
}
