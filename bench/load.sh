#!/usr/bin/env bash
# Whole-program load of the tuner against lingot, each capturing a 440 Hz tone.
#
#   bench/load.sh [--build DIR] [--rounds N] [--warmup S] [--seconds S]
#
# Both programs run on one private X server (Xvfb) and one private PulseAudio server (the
# end-to-end tests' tests/e2e/with-pulse.sh), one at a time, alternating: tuner, lingot, tuner,
# lingot ... For each run it prints the process's CPU time (user + system, all threads) over
# --seconds after --warmup, as a percentage of one core, its peak resident set (VmHWM), and what
# the X and sound servers spent meanwhile: drawing and mixing are work a program hands to them.
# For the tuner it also prints when, after exec, its lower spectrum chart first showed a
# spectrum (bench/FirstSpectrum.cpp grabs the chart's rows until one does).
#
# lingot captures from ALSA's "default" device, which the pulseaudio package routes to
# PULSE_SERVER; its configuration is lingot's default except that the frequency range takes in
# the tone, so it does the same peak-following work as when tuning. Each run checks that the
# program holds an uncorked recording stream on the server before it is measured.
#
# Needs Xvfb, cc/c++ with the X11 headers, lingot, and the with-pulse.sh tools (pulseaudio,
# pactl, parec, sox). Everything it starts is stopped by PID; its files live in a temporary
# folder that it removes. The machine should be otherwise idle: the load average is printed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

if [[ ${1-} != --inner ]]; then
    build=$root/build/release
    rounds=2
    warmup=5
    seconds=20
    while (($#)); do
        case $1 in
            --build) build=$2 ;;
            --rounds) rounds=$2 ;;
            --warmup) warmup=$2 ;;
            --seconds) seconds=$2 ;;
            *)
                echo "usage: $0 [--build DIR] [--rounds N] [--warmup S] [--seconds S]" >&2
                exit 2
                ;;
        esac
        shift 2
    done
    export LOAD_TUNER=$build/src/app/stemora LOAD_ROUNDS=$rounds LOAD_WARMUP=$warmup
    export LOAD_SECONDS=$seconds
    if [[ ! -x $LOAD_TUNER ]]; then
        echo "load: no tuner at $LOAD_TUNER (build the stemora target or pass --build)" >&2
        exit 2
    fi
    for tool in Xvfb lingot c++; do
        if ! command -v "$tool" >/dev/null; then
            echo "load: $tool is not installed" >&2
            exit 2
        fi
    done
    exec "$root/tests/e2e/with-pulse.sh" --tone 440 "$0" --inner
fi

# From here on inside with-pulse.sh: PULSE_SERVER and STEMORA_PULSE_PID are set.
dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-load.XXXXXX")
xvfb_pid=
program_pid=
helper_pid=

ours() {
    local stat ppid
    { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
    read -r _ ppid _ <<<"${stat##*) }"
    [[ $ppid == "$$" ]]
}

stop_pid() {
    [[ -n $1 ]] && ours "$1" || return 0
    kill "$1" 2>/dev/null
    for _ in $(seq 30); do
        ours "$1" || return 0
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

cleanup() {
    stop_pid "$helper_pid"
    stop_pid "$program_pid"
    stop_pid "$xvfb_pid"
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! c++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror "$here/FirstSpectrum.cpp" -lX11 \
    -o "$dir/first-spectrum"; then
    echo "load: could not build the first-spectrum helper (libx11-dev?)" >&2
    exit 1
fi

# Xvfb picks a free display itself and writes its number to fd 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s $dir/display ]] && break
    sleep 0.05
done
if [[ ! -s $dir/display ]]; then
    echo "load: Xvfb did not start; its log:" >&2
    cat "$dir/xvfb.log" >&2
    exit 1
fi
DISPLAY=:$(<"$dir/display")
export DISPLAY

# lingot's own defaults (lingot 1.1.1), but with a range that holds 440 Hz.
cat >"$dir/lingot.conf" <<'CONF'
{
  "VERSION":"1.1.1",
  "AUDIO_SYSTEM":"ALSA",
  "ROOT_FREQUENCY_ERROR":0.0,
  "FFT_SIZE":512,
  "TEMPORAL_WINDOW":0.3,
  "MIN_SNR":20.0,
  "CALCULATION_RATE":15.0,
  "MINIMUM_FREQUENCY":82.407,
  "MAXIMUM_FREQUENCY":1046.5,
  "AUDIO_DEV.OSS":"default",
  "AUDIO_DEV.ALSA":"default",
  "AUDIO_DEV.PulseAudio":"default",
  "AUDIO_DEV.JACK":"default"
}
CONF

clk_tck=$(getconf CLK_TCK)

# utime + stime of process $1 in clock ticks, all threads.
cpu_ticks() {
    local stat fields
    stat=$(<"/proc/$1/stat") || return 1
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}

# Says whether process $1 holds an uncorked recording stream on the private server.
capturing() {
    pactl list source-outputs 2>/dev/null | awk -v pid="$1" '
        /^Source Output #/ { if (mine && open) found = 1; mine = 0; open = 0 }
        /Corked: no/ { open = 1 }
        $0 ~ "application.process.id = \"" pid "\"" { mine = 1 }
        END { if (mine && open) found = 1; exit !found }'
}

# The sample format and resampler of process $1's recording stream.
stream_format() {
    pactl list source-outputs 2>/dev/null | awk -v pid="$1" '
        /^Source Output #/ { if (mine) exit; spec = ""; method = ""; mine = 0 }
        /^[[:space:]]*Sample S[a-z]+:/ { sub(/^[^:]*: /, ""); spec = $0 }
        /Resample method:/ { sub(/.*method: /, ""); method = $0 }
        $0 ~ "application.process.id = \"" pid "\"" { mine = 1 }
        END { if (mine) print spec ", resampler " method }'
}

results=$dir/results
: >"$results"

# run NAME COMMAND...: one measured run; appends "name cpu% rss_kib x% pulse% first_low first_high".
run() {
    local name=$1 t0 t1 t2 c1 c2 x1 x2 p1 p2 rss first_low=- first_high=- line
    shift
    # The start time is taken in the child just before exec, so it covers the whole program.
    (
        echo "$EPOCHREALTIME" >"$dir/start"
        exec "$@" >"$dir/$name.log" 2>&1
    ) &
    program_pid=$!
    for _ in $(seq 100); do
        [[ -s $dir/start ]] && break
        sleep 0.01
    done
    t0=$(<"$dir/start")
    rm -f "$dir/start"

    if [[ $name == stemora ]]; then
        "$dir/first-spectrum" "$program_pid" "$t0" 20 >"$dir/first" 2>"$dir/first.err" &
        helper_pid=$!
        wait "$helper_pid"
        helper_pid=
        if line=$(grep '^spectrum ' "$dir/first"); then
            read -r _ first_low first_high <<<"$line"
            echo "$name: $(tr '\n' ' ' <"$dir/first")" >&2
        else
            echo "load: $name showed no spectrum: $(cat "$dir/first.err")" >&2
        fi
    fi
    # The warm-up counts from exec; the helper's polling is over before the measurement.
    sleep "$(awk -v w="$LOAD_WARMUP" -v t0="$t0" -v now="$EPOCHREALTIME" \
        'BEGIN { s = w - (now - t0); print (s > 0 ? s : 0) }')"

    if ! kill -0 "$program_pid" 2>/dev/null; then
        echo "load: $name ended early; its output:" >&2
        cat "$dir/$name.log" >&2
        exit 1
    fi
    if ! capturing "$program_pid"; then
        echo "load: $name is not capturing from the private server; its streams:" >&2
        pactl list short source-outputs >&2
        cat "$dir/$name.log" >&2
        exit 1
    fi

    echo "$name: records $(stream_format "$program_pid")" >&2

    t1=$EPOCHREALTIME
    c1=$(cpu_ticks "$program_pid")
    x1=$(cpu_ticks "$xvfb_pid")
    p1=$(cpu_ticks "$STEMORA_PULSE_PID")
    sleep "$LOAD_SECONDS"
    c2=$(cpu_ticks "$program_pid")
    x2=$(cpu_ticks "$xvfb_pid")
    p2=$(cpu_ticks "$STEMORA_PULSE_PID")
    t2=$EPOCHREALTIME
    rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$program_pid/status")
    capturing "$program_pid" || echo "load: $name stopped capturing during the run" >&2
    stop_pid "$program_pid"
    program_pid=

    awk -v n="$name" -v hz="$clk_tck" -v t="$t1" -v u="$t2" -v c="$((c2 - c1))" \
        -v x="$((x2 - x1))" -v p="$((p2 - p1))" -v r="$rss" -v fl="$first_low" \
        -v fh="$first_high" 'BEGIN {
            w = u - t
            printf "%s %.2f %d %.2f %.2f %s %s\n", n, 100 * c / hz / w, r, 100 * x / hz / w,
                100 * p / hz / w, fl, fh }' >>"$results"
    tail -n 1 "$results" >&2
    # Let the servers settle before the next program starts.
    sleep 1
}

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores); $(uptime)"
for ((round = 1; round <= LOAD_ROUNDS; ++round)); do
    run stemora "$LOAD_TUNER"
    run lingot lingot -c "$dir/lingot.conf"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "CPU % of one core over ${LOAD_SECONDS} s after ${LOAD_WARMUP} s; Xvfb and PulseAudio CPU over the same time"

awk '
    { n[$1]++; cpu[$1] += $2; rss[$1] += $3; x[$1] += $4; p[$1] += $5
      row[NR] = $0
      if ($1 == "stemora" && $6 != "-") { fl[++f] = $6; fh[f] = $7 } }
    END {
        printf "%-8s %7s %13s %7s %7s %s\n", "program", "CPU %", "peak RSS MiB", "Xvfb %",
            "pulse %", "first spectrum s (between)"
        for (i = 1; i <= NR; ++i) {
            split(row[i], v, " ")
            first = v[6] == "-" ? "" : sprintf("%.3f .. %.3f", v[6], v[7])
            printf "%-8s %7.2f %13.1f %7.2f %7.2f %s\n", v[1], v[2], v[3] / 1024, v[4], v[5], first
        }
        print ""
        for (name in n)
            printf "mean %-8s CPU %.2f %%, peak RSS %.1f MiB, Xvfb %.2f %%, pulse %.2f %%\n",
                name, cpu[name] / n[name], rss[name] / n[name] / 1024, x[name] / n[name],
                p[name] / n[name]
        if (n["stemora"] && n["lingot"] && cpu["lingot"] > 0) {
            cr = (cpu["stemora"] / n["stemora"]) / (cpu["lingot"] / n["lingot"])
            rr = (rss["stemora"] / n["stemora"]) / (rss["lingot"] / n["lingot"])
            printf "stemora / lingot: CPU %.2f (goal <= 0.50: %s), peak RSS %.2f (goal <= 1.00: %s)\n",
                cr, cr <= 0.5 ? "met" : "missed", rr, rr <= 1 ? "met" : "missed"
        }
        if (f) {
            lo = hi = 0
            for (i = 1; i <= f; ++i) { lo += fl[i]; hi += fh[i] }
            printf "stemora first spectrum after exec: %.3f .. %.3f s (mean of %d runs; the grabs bound it)\n",
                lo / f, hi / f, f
        }
    }' "$results"
