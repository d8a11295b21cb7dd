#!/usr/bin/env bash
# stemora-analyse on a live recording, as its help and the README give the recipes. Runs inside
# with-pulse.sh or with-pipewire.sh (a private sound server playing 440 Hz):
#
#   analyse-live.sh RECORDER STEMORA_ANALYSE_BINARY
#
# RECORDER is arecord (WAV through ALSA's default device), parec or pw-record (headerless PCM,
# read with --raw). The recorder is piped into "stemora-analyse --note A4 --tsv -" for about
# 5 s, then the pipeline gets SIGINT as from a terminal's Ctrl-C. Checked: the lines come at the
# pace of the sound (none held back beyond the recorder's own buffering), the lines from 2 s of
# sound on read deviation 0 with the peak plotted (the reading looks at the older half of the
# block, so the tone shows from about 1.2 s on), and the analyser ends with status 0, no error
# line and no half line. On a loaded machine the private server drops sound now and then, which
# blurs the spectrum for a while: three lines in four must be centred, not all.
set -uo pipefail

recorder=${1-}
analyser=${2-}
case $recorder in
  arecord) record=(arecord -q -f S16_LE -r 48000 -c 2 -t wav) raw=() ;;
  parec) record=(parec --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20)
    raw=(--raw 48000:2:s16) ;;
  pw-record) record=(pw-record --rate 48000 --channels 2 --format s16 -) raw=(--raw 48000:2:s16) ;;
  *) recorder= ;;
esac
if [[ -z $recorder || -z $analyser ]]; then
  echo "usage: $0 arecord|parec|pw-record STEMORA_ANALYSE_BINARY" >&2
  exit 2
fi
if ! command -v "${record[0]}" >/dev/null; then
  echo "analyse-live: ${record[0]} is not installed" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-analyse-live.XXXXXX")
pipeline=
stamper=
# shellcheck disable=SC2317 # run by the trap
cleanup() {
  [[ -n $pipeline ]] && kill -KILL -- "-$pipeline" 2>/dev/null
  [[ -n $stamper ]] && kill "$stamper" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

# Each line with the moment it arrived, read from a FIFO so that the analyser writes to a pipe;
# a last line without its newline is kept apart.
mkfifo "$dir/lines"
{
  while IFS= read -r line; do
    printf '%s\t%s\n' "$EPOCHREALTIME" "$line"
  done >"$dir/stamped"
  [[ -n $line ]] && printf '%s\n' "$line" >"$dir/half"
} <"$dir/lines" &
stamper=$!

# Job control: the pipeline gets a process group of its own, and its members keep SIGINT. Its
# status is the analyser's, as in a shell without pipefail (a recorder that outlives the
# analyser by a moment dies writing to the closed pipe).
set +o pipefail -m
start=$EPOCHREALTIME
"${record[@]}" 2>"$dir/recorder.log" |
  "$analyser" "${raw[@]}" --note A4 --tsv - >"$dir/lines" 2>"$dir/analyser.err" &
analyser_pid=$!
pipeline=$(jobs -p %+)
set -o pipefail +m
sleep 5
kill -INT -- "-$pipeline"
wait "$analyser_pid"
status=$?
pipeline=
wait "$stamper"
stamper=

failed=
fail() {
  echo "analyse-live ($recorder): $*" >&2
  failed=1
}
((status == 0)) || fail "the analyser ended with status $status after SIGINT"
[[ -s $dir/analyser.err ]] && fail "the analyser wrote to stderr: $(cat "$dir/analyser.err")"

# Lines: arrival, time_s, spec_bin, ..., spec_plotted (field 10 of the analyser's).
summary=$(awk -F '\t' -v start="$start" '
  NR == 1 { if ($2 != "time_s") bad = "no header line"; next }
  NF != 11 { bad = "a line of " NF - 1 " fields: " $0; next }
  {
    lines++
    lag = $1 - start - $2
    if (lines == 1 || lag < low) low = lag
    if (lines == 1 || lag > high) high = lag
    if ($2 >= 2.0) { late++; if ($3 == 0 && $10 == 1) centred++ }
    if (first == "" && $3 == 0 && $10 == 1) first = $2
    if (lines == 1) { t0 = $1; s0 = $2 }
    t1 = $1; s1 = $2
  }
  END {
    if (bad != "") { print "bad " bad; exit }
    rate = t1 > t0 ? (lines - 1) / (t1 - t0) : 0
    printf "%d %.1f %.3f %.3f %d %d %s\n", lines, rate, low, high, late, centred,
      (first == "" ? "none" : first)
  }' "$dir/stamped")
read -r lines rate low high late centred first <<<"$summary"
if [[ $lines == bad ]]; then
  fail "$summary"
else
  echo "analyse-live ($recorder): $lines lines, $rate a second; from the start of the sound" \
    "they came $low s to $high s after it; $centred of the $late lines from 2 s read" \
    "deviation 0 (peak plotted);" \
    "the first at $first s"
  ((lines >= 40)) || fail "only $lines lines in 5 s"
  # The recorder's start takes up to about 1.5 s on a private PulseAudio server; after that the
  # lines keep the pace of the sound, give or take the recorder's buffering and a busy machine.
  awk -v l="$low" -v h="$high" 'BEGIN { exit !(l < 2.5 && h - l < 1) }' ||
    fail "lines held back: lags from $low s to $high s"
  ((late >= 15 && 4 * centred >= 3 * late)) ||
    fail "only $centred of $late lines from 2 s on at deviation 0"
fi
[[ -e $dir/half ]] && fail "the output ends in a half line: $(cat "$dir/half")"
if [[ -n $failed ]]; then
  echo "--- the analyser's lines (arrival, then the line):" >&2
  head -n 40 "$dir/stamped" >&2
  echo "--- the recorder's log:" >&2
  cat "$dir/recorder.log" >&2
  exit 1
fi
exit 0
