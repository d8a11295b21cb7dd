#!/usr/bin/env bash
# package-contents.sh BUILD_DIR OUT_DIR VERSION APP_ID ICON_SIZES SOURCE_DIR
# Makes the Debian package of BUILD_DIR with CPack into OUT_DIR and checks it without
# installing it: its name and control fields, the dependencies that no link shows, exactly the
# expected files, no RUNPATH and no path of the build or source tree in any file, one version
# everywhere, the desktop validators on the packed files, and lintian without errors.
set -uo pipefail
build_dir=$1 out=$2 version=$3 app_id=$4 icon_sizes=${5//;/ } source_dir=$6

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for tool in cpack dpkg-deb dpkg-shlibdeps file readelf lintian desktop-file-validate \
  appstreamcli; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out"
if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
fi
rm -rf "$out/_CPack_Packages"
deb=$out/stemora_${version}_$(dpkg --print-architecture).deb
if [[ ! -f $deb ]]; then
  ls -l "$out" >&2
  echo "FAIL: no $deb" >&2
  exit 1
fi

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == stemora ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not $version"
[[ $(field Section) == sound ]] || fail "Section is '$(field Section)'"
description=$(field Description)
[[ $(printf '%s\n' "$description" | wc -l) -ge 3 ]] || fail "no long description"
# Depends, one alternative group a line.
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//')
for group in libportaudio2 fonts-liberation2 'libasound2-plugins | pipewire-alsa'; do
  grep -qxF "$group" <<<"$depends" || fail "Depends lacks '$group'"
done
# dpkg-shlibdeps' share: what the programs link.
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libsndfile1; do
  grep -q "^$lib " <<<"$depends" || fail "Depends lacks $lib (dpkg-shlibdeps)"
done

# Exactly these files, nothing more.
expected=(
  usr/bin/stemora
  usr/bin/stemora-analyse
  "usr/share/applications/$app_id.desktop"
  "usr/share/metainfo/$app_id.metainfo.xml"
  "usr/share/icons/hicolor/scalable/apps/$app_id.svg"
  usr/share/man/man1/stemora.1.gz
  usr/share/man/man1/stemora-analyse.1.gz
  usr/share/doc/stemora/copyright
  usr/share/doc/stemora/changelog.gz
)
for size in $icon_sizes; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png")
done
packed=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [[ $packed != "$wanted" ]]; then
  fail "the package's files differ from the expected ones (< packed, > expected):"
  diff <(printf '%s\n' "$packed") <(printf '%s\n' "$wanted") >&2
fi

root=$out/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"

# The build tree must leave no trace: no RUNPATH or RPATH, no path of the trees in any file.
for program in stemora stemora-analyse; do
  if readelf -d "$root/usr/bin/$program" | grep -E '\((RUNPATH|RPATH)\)'; then
    fail "$program has a run-time library path"
  fi
done
for tree in "$build_dir" "$source_dir"; do
  if leaks=$(grep -rlaF "$(realpath "$tree")" "$root"); then
    fail "files name $tree: $leaks"
  fi
done

# One version: both programs, the AppStream file's newest release and the changelog.
for program in stemora stemora-analyse; do
  answer=$("$root/usr/bin/$program" --version 2>&1)
  [[ $answer == "$program $version" ]] || fail "$program --version says '$answer'"
done
newest=$(grep -o '<release version="[^"]*"' "$root/usr/share/metainfo/$app_id.metainfo.xml" |
  head -n 1)
[[ $newest == "<release version=\"$version\"" ]] || fail "newest AppStream release: $newest"
entry=$(gzip -dc "$root/usr/share/doc/stemora/changelog.gz" | head -n 1)
[[ $entry == "stemora ($version) "* ]] || fail "changelog begins '$entry'"

# The freedesktop validators on the files as packed: warnings count as failures.
report=$(desktop-file-validate "$root/usr/share/applications/$app_id.desktop" 2>&1)
status=$?
[[ -n $report ]] && printf '%s\n' "$report"
if ((status != 0)) || grep -q ': warning: ' <<<"$report"; then
  fail "desktop-file-validate"
fi
appstreamcli validate --no-net --strict "$root/usr/share/metainfo/$app_id.metainfo.xml" ||
  fail "appstreamcli validate"

# lintian: errors fail; anything else it says is shown.
lintian_report=$(lintian --fail-on error "$deb" 2>&1)
status=$?
grep -v 'running with root privileges' <<<"$lintian_report"
((status == 0)) || fail "lintian reports errors"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $deb: $(du -k "$deb" | cut -f1) KiB, Installed-Size $(field Installed-Size) KiB;" \
  "all checks passed"
