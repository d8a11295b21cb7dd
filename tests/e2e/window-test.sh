#!/usr/bin/env bash
# End-to-end tests of the tuner's window: the real program on a private Xvfb display, driven with
# xdotool and looked at through screenshots.
#
#   window-test.sh CASE STEMORA_BINARY [SCREENSHOT_FOLDER]
#
# Cases that need sound run inside with-pulse.sh or with-pipewire.sh (a private sound server
# playing 440 Hz):
#   tone           the window, its size, a spectrum peaking at the centre note; a screenshot;
#                  a close through WM_DELETE_WINDOW
#   controls       piano clicks move the red pointer, wheel steps change the marker lines
#   signals        SIGTERM and SIGINT end the program cleanly
#   server-killed  the sound server killed under a running tuner: it goes on answering and
#                  still ends cleanly
#   server-restarted  the server killed and restarted three times: the loss caption each
#                  time, then capture and spectrum back on their own
#   note-change    a click from A4 to E2 while the tone plays: for 10 s no screenshot shows
#                  the spectrum peaking at the centre (the old note's sound read as E2)
#   server-stalled the server stopped (SIGSTOP) for 4 s: the loss caption within 2 s, clicks
#                  answered meanwhile, the spectrum back within 6 s of SIGCONT
# and one without any sound server (run it outside with-pulse.sh; status 77, skipped, on a
# machine with a sound card):
#   no-server      the window comes up with the failure caption and empty charts, and closes
#                  cleanly
set -uo pipefail

case_name=${1-}
binary=${2-}
shots=${3-}
if [[ -z $case_name || -z $binary ]]; then
  echo "usage: $0 CASE STEMORA_BINARY [SCREENSHOT_FOLDER]" >&2
  exit 2
fi
# shellcheck source=tests/e2e/x11-harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/x11-harness.sh"

# Layout of the client area (pixels from its top-left corner).
spec_y=249
piano_y=510

pointer_box() {
  grab "$harness_dir/pointer.ppm"
  python3 "$probe" pointer "$harness_dir/pointer.ppm"
}

# Waits up to 3 s for the red pointer's box ("left top width height") to become $1.
expect_pointer() {
  local want=$1 what=$2 got
  for _ in $(seq 30); do
    got=$(pointer_box)
    [[ $got == "$want" ]] && {
      note "ok: pointer at $got ($what)"
      return 0
    }
    sleep 0.1
  done
  fail "pointer at '$got', expected '$want' ($what)"
}

marker_lines() {
  grab "$harness_dir/markers.ppm"
  python3 "$probe" markers "$harness_dir/markers.ppm"
}

# Waits up to 3 s for $1 marker lines on the centre chart, the grey one at its middle, about $2
# pixels apart. A range of r semitones has 2r + 1 markers from column 0 to column 600; the last
# falls just past the chart's 600 columns, so 2r are seen.
expect_markers() {
  local count=$1 spacing=$2 what=$3 got n grey step
  for _ in $(seq 30); do
    got=$(marker_lines)
    read -r n grey step <<<"$got"
    if ((n == count && grey >= 299 && grey <= 301)) &&
      awk -v s="$step" -v w="$spacing" 'BEGIN { exit !(s > w - 1.5 && s < w + 1.5) }'; then
      note "ok: $n marker lines ${step} px apart, the centre one at x = $grey ($what)"
      return 0
    fi
    sleep 0.1
  done
  fail "marker lines '$got' (count, grey column, spacing)," \
    "expected $count about $spacing px apart ($what)"
}

wheel() {
  local button=$1 times=$2 x=$3 y=$4
  xdotool mousemove --window "$window" "$x" "$y" click --repeat "$times" --delay 30 "$button" ||
    fail "xdotool could not turn the wheel"
}

click_piano() {
  xdotool mousemove --window "$window" "$1" $((piano_y + 55)) click 1 ||
    fail "xdotool could not click"
}

# Right end of the text where the sound-mode caption sits, or -1 when there is none. The failure
# caption ("Звуковое устройство не поддерживается") runs to about column 210, a format caption
# ("48 кГц,  16 бит,  каналов 2") to about 140.
caption_end() {
  local first last
  grab "$harness_dir/caption.ppm"
  read -r first last <<<"$(python3 "$probe" caption "$harness_dir/caption.ppm")"
  [[ $first == none ]] && last=-1
  echo "$last"
}

no_error_box() {
  [[ -z $(windows_named '^Stemora$') ]] || fail "an error box came up"
}

need_pulse() {
  [[ -n ${STEMORA_SOUND_RESTART-} ]] || {
    echo "$case_name: run it inside tests/e2e/with-pulse.sh or with-pipewire.sh" >&2
    exit 2
  }
}

# Kills the private sound server (the whole stack) outright.
kill_server() {
  "$STEMORA_SOUND_RESTART" --kill || fail "could not kill the sound server"
}

case_tone() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  local size
  size=$(window_size)
  [[ $size == "600 573" ]] || fail "client area $size, expected 600 573"
  note "ok: window $window, client area $size"
  spectrum_wait 10 || fail "no spectrum peaking at the centre within 10 s (last: $spectrum_line)"
  note "ok: spectrum (pixels, topmost column, its row): $spectrum_line"
  # The stream's format replaces the caption once a second.
  local end
  for _ in $(seq 30); do
    end=$(caption_end)
    ((end > 60 && end < 175)) && break
    sleep 0.1
  done
  ((end > 60 && end < 175)) || fail "no format caption (its text ends at column $end)"
  note "ok: a format caption, its text up to column $end"
  no_error_box
  if [[ -n $shots ]]; then
    mkdir -p "$shots"
    grab "$shots/stemora-tone.png"
    note "screenshot: $shots/stemora-tone.png"
  fi
  close_wm
  expect_clean_end WM_DELETE_WINDOW 2
}

case_controls() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  # A4 at start: a white key, so the pointer sits low.
  expect_pointer "328 43 3 16" "A4 at start"
  # Column 200 is D3 (n = -7), a white key; 210 is D#3 (n = -6), a black one.
  click_piano 200
  expect_pointer "200 43 3 16" "click at column 200, D3"
  click_piano 210
  expect_pointer "207 20 3 16" "click at column 210, D#3"
  click_piano 597
  expect_pointer "592 43 3 16" "click at column 597, C8"

  # Ten semitones each side at start; the wheel works over every part of the window.
  expect_markers 20 30 "range 10 at start"
  wheel 5 1 300 $((spec_y + 100))
  expect_markers 18 33.3 "one step back over the centre chart: range 9"
  wheel 5 12 100 $((piano_y + 30))
  expect_markers 2 300 "twelve more over the piano: range 1, the least"
  wheel 4 1 500 100
  expect_markers 4 150 "one step forward over the upper chart: range 2"
  wheel 4 12 300 235
  expect_markers 20 30 "twelve more over the note strip: range 10, the most"
  no_error_box
  close_wm
  expect_clean_end WM_DELETE_WINDOW 2
}

case_signals() {
  need_pulse
  local signal
  for signal in TERM INT; do
    stemora_start "$binary"
    stemora_window
    # Capture is running once the spectrum shows.
    spectrum_wait 10 || fail "no spectrum within 10 s (last: $spectrum_line)"
    close_signal "$signal"
    expect_clean_end "SIG$signal" 2
  done
}

case_server_killed() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  spectrum_wait 10 || fail "no spectrum within 10 s (last: $spectrum_line)"
  kill_server
  note "killed the sound server"
  sleep 1.5
  running "$stemora_pid" || fail "the tuner ended when the sound server went away"
  no_error_box
  click_piano 200
  expect_pointer "200 43 3 16" "click at column 200 after the server went"
  wheel 5 1 300 100
  expect_markers 18 33.3 "one wheel step back after the server went"
  close_wm
  expect_clean_end WM_DELETE_WINDOW 3
}

# The sound server killed and restarted three times under a running tuner: each time the loss
# caption comes up, the spectrum goes, the window keeps answering, and once the server is back
# the spectrum returns at the centre within 5 s and the format caption with it, all without a
# restart of the tuner.
case_server_restarted() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  spectrum_wait 10 || fail "no spectrum within 10 s (last: $spectrum_line)"
  local cycle end count range=10 step ready
  for cycle in 1 2 3; do
    kill_server
    # The loss caption is longer than a format caption and shorter than the failure one.
    for _ in $(seq 30); do
      end=$(caption_end)
      ((end >= 150 && end < 200)) && break
      sleep 0.1
    done
    ((end >= 150 && end < 200)) || fail "cycle $cycle: no loss caption (its text ends at $end)"
    read -r count _ <<<"$(spectrum_now)"
    ((count == 0)) || fail "cycle $cycle: $count spectrum pixels while the server is down"
    note "ok: cycle $cycle: the loss caption (up to column $end), no spectrum"
    # The window answers while the device is away: one wheel step narrows the view.
    range=$((range - 1))
    step=$(awk -v r="$range" 'BEGIN { printf "%.1f", 300 / r }')
    wheel 5 1 300 100
    expect_markers $((2 * range)) "$step" "cycle $cycle: a wheel step while the server is down"
    no_error_box
    "$STEMORA_SOUND_RESTART" --start || fail "cycle $cycle: the sound server did not start again"
    ready=$EPOCHREALTIME
    spectrum_wait 5 ||
      fail "cycle $cycle: no spectrum at the centre within 5 s of the server's return" \
        "(last: $spectrum_line)"
    note "ok: cycle $cycle: the spectrum back at the centre" \
      "$(awk -v s="$ready" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - s }') s" \
      "after the server was ready: $spectrum_line"
    # Timer1 writes the format caption again within a second.
    for _ in $(seq 20); do
      end=$(caption_end)
      ((end > 60 && end < 150)) && break
      sleep 0.1
    done
    ((end > 60 && end < 150)) || fail "cycle $cycle: no format caption after the return ($end)"
    running "$stemora_pid" || fail "cycle $cycle: the tuner ended"
  done
  no_error_box
  close_wm
  expect_clean_end WM_DELETE_WINDOW 3
}

# Seconds since $1 (an EPOCHREALTIME), to a tenth.
since() {
  awk -v s="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - s }'
}

# The tone at A4, then a click on E2: every note puts its centre at the same column, so the old
# note's sound read at E2's rate would stand there as a perfectly tuned E2.
case_note_change() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  spectrum_wait 10 || fail "no spectrum at the centre within 10 s (last: $spectrum_line)"
  # E2 (n = -17) lies six white keys left of D3 (column 200).
  click_piano 137
  local left shots=0 count x changed=$EPOCHREALTIME
  read -r left _ <<<"$(pointer_box)"
  ((left >= 128 && left <= 134)) || fail "the pointer at column $left after the click on E2"
  while (($(since "$changed" | cut -d. -f1) < 10)); do
    read -r count x _ <<<"$(spectrum_now)"
    ((count > 0 && x >= 298 && x <= 302)) &&
      fail "$(since "$changed") s after the click on E2: the spectrum peaks at the centre ($x)"
    shots=$((shots + 1))
  done
  note "ok: $shots screenshots over 10 s after the click on E2, none peaking at the centre"
  no_error_box
  close_wm
  expect_clean_end WM_DELETE_WINDOW 2
}

# The server hangs without going away: the tuner must not keep showing the last second as live.
case_server_stalled() {
  need_pulse
  stemora_start "$binary"
  stemora_window
  spectrum_wait 10 || fail "no spectrum within 10 s (last: $spectrum_line)"
  "$STEMORA_SOUND_RESTART" --stop || fail "could not stop the sound server"
  local stopped=$EPOCHREALTIME end count grabbed noticed resumed
  # A screenshot takes a while (over a second on a loaded machine): the caption came up after
  # the previous one began and before this one ended, and it was there when this one began if
  # that began after it; the bound is checked on when the screenshot began.
  for _ in $(seq 40); do
    grabbed=$(since "$stopped")
    end=$(caption_end)
    ((end >= 150 && end < 200)) && break
    sleep 0.05
  done
  ((end >= 150 && end < 200)) || fail "no loss caption while the server is stopped ($end)"
  noticed=$(since "$stopped")
  awk -v t="$grabbed" 'BEGIN { exit !(t <= 2.0) }' ||
    fail "no loss caption on the screenshots begun up to $grabbed s after SIGSTOP"
  read -r count _ <<<"$(spectrum_now)"
  ((count == 0)) || fail "$count spectrum pixels while the server is stopped"
  note "ok: the loss caption on the screenshot begun $grabbed s after SIGSTOP (ended $noticed s)," \
    "no spectrum"
  # The window answers while the server hangs.
  click_piano 200
  expect_pointer "200 43 3 16" "click at column 200, D3, server stopped"
  click_piano 328
  expect_pointer "328 43 3 16" "click at column 328, A4, server stopped"
  no_error_box
  while awk -v t="$(since "$stopped")" 'BEGIN { exit !(t < 4.0) }'; do
    sleep 0.1
  done
  "$STEMORA_SOUND_RESTART" --cont || fail "could not let the sound server go on"
  resumed=$EPOCHREALTIME
  spectrum_wait 6 ||
    fail "no spectrum at the centre within 6 s of SIGCONT (last: $spectrum_line)"
  note "ok: the spectrum back at the centre $(since "$resumed") s after SIGCONT: $spectrum_line"
  for _ in $(seq 20); do
    end=$(caption_end)
    ((end > 60 && end < 150)) && break
    sleep 0.1
  done
  ((end > 60 && end < 150)) || fail "no format caption after SIGCONT ($end)"
  no_error_box
  close_wm
  expect_clean_end WM_DELETE_WINDOW 3
}

case_no_server() {
  if [[ -e /dev/snd ]]; then
    echo "SKIP: this machine has a sound card, which PortAudio may open without a server"
    exit 77
  fi
  # Nowhere to reach: no server, and no client configuration that could start or name one.
  export PULSE_SERVER=unix:/nonexistent/stemora-no-server PULSE_CLIENTCONFIG=/dev/null
  unset STEMORA_PULSE_PID STEMORA_PIPEWIRE_PID STEMORA_SOUND_RESTART
  stemora_start "$binary"
  stemora_window
  no_error_box
  local size count end
  size=$(window_size)
  [[ $size == "600 573" ]] || fail "client area $size, expected 600 573"
  end=$(caption_end)
  ((end >= 180)) || fail "no failure caption (the text ends at column $end)"
  # Without a device nothing is captured, so the charts stay empty for good.
  for _ in $(seq 4); do
    read -r count _ <<<"$(spectrum_now)"
    ((count == 0)) || fail "the centre chart shows $count spectrum pixels without a device"
    sleep 0.5
  done
  no_error_box
  note "ok: window up with the failure caption (up to column $end), charts empty for 2 s"
  close_wm
  expect_clean_end WM_DELETE_WINDOW 2
}

harness_begin
case $case_name in
  tone) case_tone ;;
  controls) case_controls ;;
  signals) case_signals ;;
  server-killed) case_server_killed ;;
  server-restarted) case_server_restarted ;;
  note-change) case_note_change ;;
  server-stalled) case_server_stalled ;;
  no-server) case_no_server ;;
  *)
    echo "$0: unknown case $case_name" >&2
    exit 2
    ;;
esac
echo "PASS: $case_name"
