#!/usr/bin/env bash
# install-in-debian.sh PACKAGE_DIR CACHE_DIR VERSION APP_ID
# Installs the package of PACKAGE_DIR with apt into a fresh minimal Debian 12 root made by
# mmdebstrap from the archive this machine's apt uses, and there: analyses a 442 Hz tone with
# stemora-analyse, asks stemora for its version, starts its window under xvfb-run with no sound
# server and ends it with SIGTERM, finds the manual pages with man -w; then removes the package
# with apt-get remove and compares the file lists before and after.
# Downloaded packages are kept in CACHE_DIR. Exits 77 (skipped) when the archive cannot be
# reached. Needs root (mmdebstrap's root mode, chroot and unshare).
set -uo pipefail
package_dir=$1 cache=$2 version=$3 app_id=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
suite=bookworm

for tool in mmdebstrap chroot unshare python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done
if (($(id -u) != 0)); then
  echo "SKIP: installing into a Debian root needs root"
  exit 77
fi
shopt -s nullglob
debs=("$package_dir"/stemora_"$version"_*.deb)
((${#debs[@]} == 1)) || { echo "FAIL: no single package in $package_dir" >&2; exit 1; }
deb=${debs[0]}

work=$(mktemp -d "${TMPDIR:-/tmp}/stemora-debian.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# The Debian 12 suites of this machine's sources, from the same mirrors (main only).
mapfile -t mirrors < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
  'Created-By: Packages' 'Component: main' 2>/dev/null |
  awk -v s="$suite" '$2 == s || $2 == s "-updates" || $2 == s "-security" {
      sub(/\/$/, "", $1); print "deb " $1 " " $2 " main" }' | sort -u)
((${#mirrors[@]})) || mirrors=("deb http://deb.debian.org/debian $suite main")
main_mirror=$(printf '%s\n' "${mirrors[@]}" | awk -v s="$suite" '$3 == s { print $2; exit }')
main_mirror=${main_mirror:-http://deb.debian.org/debian}
if ! timeout 30 /usr/lib/apt/apt-helper download-file "$main_mirror/dists/$suite/InRelease" \
  "$work/InRelease" >/dev/null 2>&1; then
  echo "SKIP: the Debian archive ($main_mirror) cannot be reached; the package was not installed"
  exit 77
fi

# The tone: 2 s of 442 Hz at half scale, 48 kHz, 16-bit stereo.
python3 - "$work/a442.wav" <<'PY' || exit 1
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(2)
    w.setsampwidth(2)
    w.setframerate(48000)
    frames = bytearray()
    for i in range(96000):
        v = int(round(16384 * math.sin(2 * math.pi * 442 * i / 48000)))
        frames += struct.pack("<hh", v, v)
    w.writeframes(bytes(frames))
PY
cp "$deb" "$work/stemora.deb"
cp "$here/in-root.sh" "$here/window-check.sh" "$work/"

# in-root.sh runs as a customize hook and always succeeds, so that the downloads are saved
# after it; its findings go to $work/results.
mkdir -p "$cache"
printf '%s\n' "${mirrors[@]}" >"$work/sources.list"
start=$SECONDS
# dpkg need not sync a root that lives for a minute: that alone takes minutes.
mmdebstrap --variant=apt --mode=root --skip=essential/unlink \
  --dpkgopt=force-unsafe-io --aptopt='Acquire::Languages "none"' \
  --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
  --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
  --customize-hook="bash '$work/in-root.sh' \"\$1\" '$work' '$version' '$app_id'" \
  --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
  "$suite" /dev/null "$work/sources.list" >"$work/mmdebstrap.log" 2>&1
status=$?
if ((status != 0)); then
  tail -n 40 "$work/mmdebstrap.log" >&2
  echo "FAIL: mmdebstrap ended with status $status" >&2
  exit 1
fi
echo "Debian $suite root made, used and removed in $((SECONDS - start)) s"
if [[ ! -s $work/results ]]; then
  tail -n 40 "$work/mmdebstrap.log" >&2
  echo "FAIL: the checks in the root left no results" >&2
  exit 1
fi
cat "$work/results"
if grep -q '^FAIL' "$work/results"; then
  tail -n 40 "$work/mmdebstrap.log" >&2
  exit 1
fi
