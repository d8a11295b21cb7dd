#!/usr/bin/env bash
# Whole-program load of the tuner against lingot, each capturing a 440 Hz tone.
#
#   bench/load.sh [--build DIR] [--stack pulse|pipewire] [--listener-ms MS] [--rounds N]
#                 [--warmup S] [--seconds S]
#
# Both programs run on one private X server (Xvfb) and one private sound stack, one at a time,
# alternating for --rounds rounds (3 unless given): tuner, lingot, tuner, lingot ... Every goal
# is judged on the medians over the rounds (the means are printed too). The stack is the
# end-to-end tests' PulseAudio server (tests/e2e/with-pulse.sh, the default) or their PipeWire
# stack with pipewire-pulse (tests/e2e/with-pipewire.sh). For each run it prints the process's
# CPU time (user + system, all threads) over --seconds after --warmup, as a percentage of one
# core, its peak resident set (VmHWM), and what the X and sound servers spent meanwhile: drawing
# and mixing are work a program hands to them. It also prints each of the program's threads by
# name (the tuner's main thread, which runs the window, as "window"): its CPU (on-CPU time from
# /proc/PID/task/TID/schedstat), its wake-ups per second (voluntary context switches: each is a
# sleep that ended) and how often per second it was preempted (involuntary switches). The
# tuner's capture thread keeps the program's name ("stemora"). Its two sound threads,
# PortAudio's callback thread ("portaudio") and the sound client's own thread ("threaded-ml",
# the PulseAudio client library's loop in ALSA's pulse plugin, on both stacks; the idle one of
# the held output check goes by the same name and counts with it), are also summed. For the
# tuner it prints when, after exec, its lower spectrum chart first showed a spectrum
# (bench/FirstSpectrum.cpp grabs the chart's rows until one does). Beside every run a bare
# thread that sleeps 1 ms at a time (the gauge) is measured the same way: what the capture
# thread's wake-ups alone cost, and how dear the machine is in that run.
#
# lingot captures from ALSA's "default" device, which the pulseaudio package routes to the
# stack's PulseAudio server; its configuration is lingot's default except that the frequency
# range takes in the tone, so it does the same peak-following work as when tuning. Each run
# checks that the program holds an uncorked recording stream on the server before it is
# measured.
#
# On PulseAudio the server hands a recorder a packet per step of the null sink, and the sink
# steps at the latency of its fastest recorder: with-pulse.sh keeps one listening throughout,
# since a null sink without one renders in blocks of about 2 s, as no sound card does. Here it
# listens at 100 ms (--listener-ms), as slow as the tuner's own period, so the programs are
# measured by their own choice, as on a sound card. At 20 ms (the end-to-end tests' pace) every
# program receives 50 packets a second however long a period it asked for, as beside a
# low-latency recording program. PipeWire sends by the recorder's own request.
#
# Needs Xvfb, cc/c++ with the X11 headers, lingot, and the wrapper's tools (pulseaudio, pactl,
# parec, sox; or pipewire, wireplumber, pipewire-pulse, pw-cli). Everything it starts is stopped
# by PID; its files live in a temporary folder that it removes. The machine should be otherwise
# idle: the load average is printed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

if [[ ${1-} != --inner ]]; then
    build=$root/build/release
    rounds=3
    warmup=5
    seconds=20
    stack=pulse
    export STEMORA_PULSE_LISTENER_MS=100
    while (($#)); do
        case $1 in
            --build) build=$2 ;;
            --stack) stack=$2 ;;
            --listener-ms) export STEMORA_PULSE_LISTENER_MS=$2 ;;
            --rounds) rounds=$2 ;;
            --warmup) warmup=$2 ;;
            --seconds) seconds=$2 ;;
            *)
                echo "usage: $0 [--build DIR] [--stack pulse|pipewire] [--listener-ms MS]" \
                    "[--rounds N] [--warmup S] [--seconds S]" >&2
                exit 2
                ;;
        esac
        shift 2
    done
    export LOAD_TUNER=$build/src/app/stemora LOAD_ROUNDS=$rounds LOAD_WARMUP=$warmup
    export LOAD_SECONDS=$seconds LOAD_STACK=$stack
    case $stack in
        pulse) wrapper=$root/tests/e2e/with-pulse.sh ;;
        pipewire) wrapper=$root/tests/e2e/with-pipewire.sh ;;
        *)
            echo "load: --stack takes pulse or pipewire, not $stack" >&2
            exit 2
            ;;
    esac
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
    exec "$wrapper" --tone 440 "$0" --inner
fi

# From here on inside the wrapper, which is our parent and the parent of the stack's daemons.
wrapper_pid=$PPID
dir=$(mktemp -d "${TMPDIR:-/tmp}/stemora-load.XXXXXX")
xvfb_pid=
program_pid=
helper_pid=
gauge_pid=

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
    stop_pid "$gauge_pid"
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

# The gauge: a thread that only sleeps 1 ms per pass, as the capture pass does around its work,
# the floor the capture thread's design sets. It runs beside every program's run, so the capture
# thread can be read against what its wake-ups alone cost, and a round in which the machine
# charged every wake-up more (on this shared machine even the stack's daemons with no recorder
# at all cost three to ten times as much in some rounds as in others) shows as such.
cat >"$dir/sleep-loop.cpp" <<'CPP'
#include <chrono>
#include <thread>
int main() {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
CPP
if ! c++ -std=c++20 -O2 "$dir/sleep-loop.cpp" -o "$dir/sleep-loop"; then
    echo "load: could not build the sleep-loop peer" >&2
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

# utime + stime in clock ticks of the stack's daemons (the wrapper's children of those names).
server_ticks() {
    local stat fields ppid name total=0 task
    for task in /proc/[0-9]*; do
        { stat=$(<"$task/stat"); } 2>/dev/null || continue
        name=${stat#*(}
        name=${name%%)*}
        case $name in
            pulseaudio | pipewire | pipewire-pulse | wireplumber) ;;
            *) continue ;;
        esac
        read -r -a fields <<<"${stat##*) }"
        ppid=${fields[1]}
        [[ $ppid == "$wrapper_pid" ]] && total=$((total + fields[11] + fields[12]))
    done
    echo "$total"
}

# One line per thread of process $1: TID, on-CPU nanoseconds, voluntary and involuntary
# context switches, name (the main thread as $2 when given).
threads() {
    local task tid name run vol invol line
    for task in "/proc/$1/task/"*; do
        tid=${task##*/}
        { read -r run _ <"$task/schedstat" && name=$(<"$task/comm"); } 2>/dev/null || continue
        vol=0 invol=0
        while read -r line; do
            case $line in
                voluntary_ctxt_switches:*) vol=${line##*[[:space:]]} ;;
                nonvoluntary_ctxt_switches:*) invol=${line##*[[:space:]]} ;;
            esac
        done <"$task/status" 2>/dev/null
        [[ -n $2 && $tid == "$1" ]] && name=$2
        echo "$tid $run $vol $invol ${name// /_}"
    done
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
per_thread=$dir/threads
: >"$results"
: >"$per_thread"
run_number=0

# thread_rows PROGRAM T1 T2 FILE1 FILE2: "run program thread cpu% wakeups/s preempted/s" per
# thread name, from the snapshots FILE1 and FILE2 of threads taken at times T1 and T2. Threads
# that came meanwhile count from zero; threads that went are not in the table.
thread_rows() {
    awk -v run="$run_number" -v n="$1" -v t="$2" -v u="$3" '
        NR == FNR { run0[$1] = $2; vol0[$1] = $3; invol0[$1] = $4; next }
        { cpu[$5] += $2 - run0[$1]; vol[$5] += $3 - vol0[$1]; invol[$5] += $4 - invol0[$1] }
        END {
            w = u - t
            for (name in cpu)
                printf "%d %s %s %.3f %.1f %.1f\n", run, n, name, 100 * cpu[name] / 1e9 / w,
                    vol[name] / w, invol[name] / w
        }' "$4" "$5"
}

# run NAME COMMAND...: one measured run; appends "name cpu% rss_kib x% server% first_low
# first_high gauge%" to the results and "run name thread cpu% wakeups/s preempted/s" per thread
# name to the thread table, the gauge as program "gauge", thread "beside-NAME".
run() {
    local name=$1 t0 t1 t2 c1 c2 x1 x2 p1 p2 rss first_low=- first_high=- line main="" gauge
    shift
    ((++run_number))
    # The start time is taken in the child just before exec, so it covers the whole program.
    (
        echo "$EPOCHREALTIME" >"$dir/start"
        exec "$@" >"$dir/$name.log" 2>&1
    ) &
    program_pid=$!
    "$dir/sleep-loop" &
    gauge_pid=$!
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

    [[ $name == stemora ]] && main=window
    t1=$EPOCHREALTIME
    threads "$program_pid" "$main" >"$dir/threads1"
    threads "$gauge_pid" "beside-$name" >"$dir/gauge1"
    c1=$(cpu_ticks "$program_pid")
    x1=$(cpu_ticks "$xvfb_pid")
    p1=$(server_ticks)
    sleep "$LOAD_SECONDS"
    c2=$(cpu_ticks "$program_pid")
    x2=$(cpu_ticks "$xvfb_pid")
    p2=$(server_ticks)
    threads "$program_pid" "$main" >"$dir/threads2"
    threads "$gauge_pid" "beside-$name" >"$dir/gauge2"
    t2=$EPOCHREALTIME
    rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$program_pid/status")
    capturing "$program_pid" || echo "load: $name stopped capturing during the run" >&2
    stop_pid "$program_pid"
    program_pid=
    stop_pid "$gauge_pid"
    gauge_pid=

    gauge=$(thread_rows gauge "$t1" "$t2" "$dir/gauge1" "$dir/gauge2")
    echo "$gauge" >>"$per_thread"
    read -r _ _ _ gauge _ <<<"$gauge"
    awk -v n="$name" -v hz="$clk_tck" -v t="$t1" -v u="$t2" -v c="$((c2 - c1))" \
        -v x="$((x2 - x1))" -v p="$((p2 - p1))" -v r="$rss" -v fl="$first_low" \
        -v fh="$first_high" -v g="$gauge" 'BEGIN {
            w = u - t
            printf "%s %.2f %d %.2f %.2f %s %s %.2f\n", n, 100 * c / hz / w, r, 100 * x / hz / w,
                100 * p / hz / w, fl, fh, g }' >>"$results"
    tail -n 1 "$results" >&2
    thread_rows "$name" "$t1" "$t2" "$dir/threads1" "$dir/threads2" | sort -k4,4gr >>"$per_thread"
    # Let the servers settle before the next program starts.
    sleep 1
}

# The first program on a freshly started stack and X server pays for their settling: in the
# first round the servers' time ran up to 2.5 times (the X server's up to seven times)
# that of the later rounds, and the program's own threads with them. That would count against
# whichever program goes first, so each runs once, unmeasured, before the first round.
settle() {
    local seconds=$((LOAD_WARMUP + LOAD_SECONDS / 2))
    "$LOAD_TUNER" >"$dir/settle.log" 2>&1 &
    program_pid=$!
    sleep "$seconds"
    stop_pid "$program_pid"
    lingot -c "$dir/lingot.conf" >"$dir/settle.log" 2>&1 &
    program_pid=$!
    sleep "$seconds"
    stop_pid "$program_pid"
    program_pid=
    sleep 1
}

listener=
[[ $LOAD_STACK == pulse ]] && listener=" (listener at ${STEMORA_PULSE_LISTENER_MS:-20} ms)"
cpu_field() {
    lscpu | sed -n "s/^$1: *//p"
}
echo "CPU: $(cpu_field 'Model name'), family $(cpu_field 'CPU family') model $(cpu_field Model)" \
    "($(nproc) cores); stack $LOAD_STACK$listener; $(uptime)"
settle
for ((round = 1; round <= LOAD_ROUNDS; ++round)); do
    run stemora "$LOAD_TUNER"
    run lingot lingot -c "$dir/lingot.conf"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "CPU % of one core over ${LOAD_SECONDS} s after ${LOAD_WARMUP} s; Xvfb and the sound" \
    "server's daemons ($LOAD_STACK) over the same time"

# The median of the first $2 values of array $1 (mawk has no sort).
median='
    function median(a, n,    b, i, j, t) {
        for (i = 1; i <= n; ++i) b[i] = a[i]
        for (i = 2; i <= n; ++i)
            for (j = i; j > 1 && b[j - 1] > b[j]; --j) { t = b[j]; b[j] = b[j - 1]; b[j - 1] = t }
        return n % 2 ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
    }'

# Every goal is judged on the medians over the rounds: a round in which the machine charged
# every wake-up two or three times as much (the gauge shows it) says nothing about the program,
# and a mean would carry a third of it into the result. The means are printed beside them.
awk "$median"'
    { k = ++n[$1]; cpu[$1, k] = $2; rss[$1, k] = $3; scpu[$1] += $2; srss[$1] += $3
      sx[$1] += $4; sp[$1] += $5
      row[NR] = $0
      if ($1 == "stemora" && $6 != "-") { fl[++f] = $6; fh[f] = $7 } }
    END {
        printf "%-8s %7s %13s %7s %7s %7s %s\n", "program", "CPU %", "peak RSS MiB", "Xvfb %",
            "server %", "gauge %", "first spectrum s (between)"
        for (i = 1; i <= NR; ++i) {
            split(row[i], v, " ")
            first = v[6] == "-" ? "" : sprintf("%.3f .. %.3f", v[6], v[7])
            printf "%-8s %7.2f %13.1f %7.2f %7.2f %7.2f %s\n", v[1], v[2], v[3] / 1024, v[4], v[5],
                v[8], first
        }
        print ""
        for (name in n) {
            for (i = 1; i <= n[name]; ++i) { c[i] = cpu[name, i]; m[i] = rss[name, i] }
            mc[name] = median(c, n[name]); mr[name] = median(m, n[name])
            printf "%-8s CPU median %.2f %% (mean %.2f), peak RSS %.1f MiB, Xvfb %.2f %%," \
                " server %.2f %% (means)\n", name, mc[name], scpu[name] / n[name],
                mr[name] / 1024, sx[name] / n[name], sp[name] / n[name]
        }
        if (n["stemora"] && n["lingot"] && mc["lingot"] > 0) {
            cr = mc["stemora"] / mc["lingot"]
            rr = mr["stemora"] / mr["lingot"]
            printf "stemora / lingot: CPU %.2f (goal <= 0.30: %s; of the means %.2f)," \
                " peak RSS %.2f (goal <= 0.50: %s)\n", cr, cr <= 0.3 ? "met" : "missed",
                (scpu["stemora"] / n["stemora"]) / (scpu["lingot"] / n["lingot"]), rr,
                rr <= 0.5 ? "met" : "missed"
        }
        if (f) {
            lo = hi = 0
            for (i = 1; i <= f; ++i) { lo += fl[i]; hi += fh[i] }
            printf "stemora first spectrum after exec: %.3f .. %.3f s (mean of %d runs; the grabs bound it)\n",
                lo / f, hi / f, f
        }
    }' "$results"

echo
echo "Per thread (CPU % of one core, wake-ups and preemptions per second):"
awk "$median"'
    {
        key = $2 " " $3
        if (!(key in n)) order[++keys] = key
        n[key]++; cpu[key] += $4; wake[key] += $5; pre[key] += $6
        printf "run %-2d %-8s %-16s %7.3f %8.1f %8.1f\n", $1, $2, $3, $4, $5, $6
        if ($2 == "stemora") stemora_run[$1] = 1
        if ($1 > last) last = $1
        if ($2 == "stemora" && ($3 == "portaudio" || $3 == "threaded-ml")) {
            sound_cpu[$1] += $4; sound_wake[$1] += $5
        }
        if ($2 == "stemora" && $3 == "window") window_cpu[$1] = $4
        if ($2 == "stemora" && $3 == "stemora") capture[$1] = $4
        if ($3 == "beside-stemora") gauge[$1] = $4
    }
    END {
        print ""
        for (i = 1; i <= keys; ++i) {
            split(order[i], k, " ")
            printf "mean %-8s %-16s %7.3f %8.1f %8.1f\n", k[1], k[2], cpu[order[i]] / n[order[i]],
                wake[order[i]] / n[order[i]], pre[order[i]] / n[order[i]]
        }
        runs = 0
        for (r = 1; r <= last; ++r) {
            if (!(r in stemora_run)) continue
            ++runs
            sc[runs] = sound_cpu[r]; sw[runs] = sound_wake[r]; wc[runs] = window_cpu[r]
            cc[runs] = capture[r]; gc[runs] = gauge[r]; dc[runs] = capture[r] - gauge[r]
            printf "run %d stemora: sound threads CPU %.3f %%, %.1f wake-ups/s; window CPU" \
                " %.3f %%; capture thread %.3f %% beside the gauge %.3f %%\n", r, sc[runs],
                sw[runs], wc[runs], cc[runs], gc[runs]
        }
        if (runs) {
            a = median(sc, runs); b = median(sw, runs); c = median(wc, runs)
            printf "median stemora: sound threads CPU %.3f %% (goal <= 0.5: %s), %.1f wake-ups/s" \
                " (goal <= 60: %s); window CPU %.3f %% (goal <= 1: %s)\n", a,
                a <= 0.5 ? "met" : "missed", b, b <= 60 ? "met" : "missed", c,
                c <= 1 ? "met" : "missed"
            printf "median capture thread %.3f %% against the gauge beside it %.3f %%: its pass" \
                " adds %.3f %% to its wake-ups\n", median(cc, runs), median(gc, runs),
                median(dc, runs)
        }
    }' "$per_thread"
