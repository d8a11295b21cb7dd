#!/usr/bin/env bash
# in-root.sh ROOT WORK VERSION APP_ID: the checks of install-in-debian.sh, run by mmdebstrap as
# a customize hook on the fresh root ROOT (with /proc, /sys and /dev mounted). Writes one line
# per finding to WORK/results ("ok: ..." or "FAIL: ...") and always exits 0, so that mmdebstrap
# goes on to save the downloads.
set -uo pipefail
root=$1 work=$2 version=$3 app_id=$4
results=$work/results
: >"$results"
ok() { echo "ok: $*" >>"$results"; }
fail() { echo "FAIL: $*" >>"$results"; }
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
# Every file and folder of the root but the mutable state of dpkg, apt, caches and logs.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o \
    -path ./tmp -o -path ./var/cache -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o \
    -path ./var/log \) -prune -o -print | sed 's|^\.||' | sort)
}

# The test's own tools first, so that the lists below compare the package alone. Without
# recommended packages: the package's Depends alone must be enough.
if ! in_root apt-get install -y --no-install-recommends xvfb xauth xdotool man-db \
  >>"$work/apt.log" 2>&1; then
  fail "apt-get could not install the test tools (see below)"
  tail -n 20 "$work/apt.log" >>"$results"
  exit 0
fi
cp "$work/stemora.deb" "$work/a442.wav" "$work/window-check.sh" "$root/tmp/"
if ! in_root apt-get install -y --no-install-recommends /tmp/stemora.deb \
  >"$work/apt-package.log" 2>&1; then
  fail "apt-get install ./stemora.deb failed"
  tail -n 20 "$work/apt-package.log" >>"$results"
  exit 0
fi
unpacked=$(grep -c '^Unpacking ' "$work/apt-package.log")
ok "apt-get installed the package with $((unpacked - 1)) dependencies"

answer=$(in_root stemora --version 2>&1)
[[ $answer == "stemora $version" ]] && ok "stemora --version: $answer" ||
  fail "stemora --version said '$answer'"

# The lower deviation of the last tick: 442 Hz lies five bins above A4.
last=$(in_root stemora-analyse --note A4 /tmp/a442.wav 2>&1 | tail -n 1)
deviation=$(printf '%s\n' "$last" | cut -f 2 | sed 's/^[^:]*: *//' | awk '{ print $1 }')
[[ $deviation == 5 ]] && ok "stemora-analyse --note A4 on 442 Hz: deviation 5" ||
  fail "stemora-analyse --note A4 on 442 Hz ended with '$last'"

for page in stemora stemora-analyse; do
  where=$(in_root man -w "$page" 2>&1)
  [[ $where == "/usr/share/man/man1/$page.1.gz" ]] && ok "man -w $page: $where" ||
    fail "man -w $page said '$where'"
done

# The window under Xvfb in a network namespace of its own, where no sound server (and no X
# server of this machine) can be reached.
report=$(unshare --net chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root \
  LANG=C.UTF-8 xvfb-run -a -s '-screen 0 1280x1024x24' sh /tmp/window-check.sh 2>&1)
status=$?
((status == 0)) && ok "stemora under xvfb-run: $report" ||
  fail "stemora under xvfb-run (status $status): $report"

# The desktop validators on the installed files; warnings count as failures.
if command -v desktop-file-validate >/dev/null && command -v appstreamcli >/dev/null; then
  out=$(desktop-file-validate "$root/usr/share/applications/$app_id.desktop" 2>&1)
  if [[ $? -eq 0 ]] && ! grep -q ': warning: ' <<<"$out"; then
    ok "desktop-file-validate clean"
  else
    fail "desktop-file-validate: $out"
  fi
  out=$(appstreamcli validate --no-net --strict \
    "$root/usr/share/metainfo/$app_id.metainfo.xml" 2>&1) &&
    ok "appstreamcli validate clean" || fail "appstreamcli validate: $out"
fi

# apt-get remove: every file of the package goes, and nothing else comes or goes.
owned=$(in_root dpkg-query -L stemora | sort)
before=$(snapshot)
if ! in_root apt-get remove -y stemora >>"$work/apt.log" 2>&1; then
  fail "apt-get remove stemora failed"
  exit 0
fi
after=$(snapshot)
left=$(comm -12 <(printf '%s\n' "$owned") <(printf '%s\n' "$after") |
  while read -r path; do [[ -d $root$path ]] || echo "$path"; done)
[[ -z $left ]] || fail "apt-get remove left files of the package: $(echo $left)"
new=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
[[ -z $new ]] || fail "apt-get remove made files: $(echo $new)"
foreign=$(comm -23 <(printf '%s\n' "$before") <(printf '%s\n' "$after") |
  comm -23 - <(printf '%s\n' "$owned"))
[[ -z $foreign ]] || fail "apt-get remove took files not of the package: $(echo $foreign)"
[[ -z $left$new$foreign ]] &&
  ok "apt-get remove: the package's $(wc -l <<<"$owned") paths gone, nothing else changed"
exit 0
