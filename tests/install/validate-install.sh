#!/bin/sh
# validate-install.sh BUILD_DIR APP_ID ICON_SIZES [PROGRAM ...]
# Installs BUILD_DIR into a temporary prefix, checks that every expected file is there (the
# programs, the launcher, the SVG and each PNG size, the AppStream metadata), that the launcher
# and the metadata name each other and the icon, and runs both freedesktop validators on them.
# ICON_SIZES is a CMake list ("16;24;..."). Needs desktop-file-validate and appstreamcli.
set -u

build_dir=$1
app_id=$2
icon_sizes=$(printf '%s' "$3" | tr ';' ' ')
shift 3

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "FAIL: $tool is not installed (packages desktop-file-utils, appstream)" >&2
        exit 1
    fi
done

prefix=$(mktemp -d "${TMPDIR:-/tmp}/stemora-install.XXXXXX") || exit 1
trap 'rm -rf "$prefix"' EXIT INT TERM

if ! cmake --install "$build_dir" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    rm -f "$prefix.log"
    echo "FAIL: cmake --install $build_dir" >&2
    exit 1
fi
rm -f "$prefix.log"

for program in "$@"; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program missing or not executable"
done

desktop="$prefix/share/applications/$app_id.desktop"
metainfo="$prefix/share/metainfo/$app_id.metainfo.xml"
icons="$prefix/share/icons/hicolor"
[ -f "$desktop" ] || fail "share/applications/$app_id.desktop missing"
[ -f "$metainfo" ] || fail "share/metainfo/$app_id.metainfo.xml missing"
[ -f "$icons/scalable/apps/$app_id.svg" ] || fail "scalable icon missing"

# Each PNG must be in its own size's folder: width and height from the IHDR chunk.
for size in $icon_sizes; do
    png="$icons/${size}x${size}/apps/$app_id.png"
    if [ ! -f "$png" ]; then
        fail "${size}x${size} icon missing"
        continue
    fi
    dims=$(od -An -tu1 -j16 -N8 "$png" |
        awk '{ printf "%d %d", $1 * 16777216 + $2 * 65536 + $3 * 256 + $4,
                               $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
    [ "$dims" = "$size $size" ] || fail "${size}x${size} icon is $dims"
done

if [ -f "$desktop" ]; then
    # Errors fail the validator; warnings are failures here too, hints are only shown.
    report=$(desktop-file-validate "$desktop" 2>&1)
    status=$?
    [ -n "$report" ] && printf '%s\n' "$report"
    if [ $status -ne 0 ] || printf '%s\n' "$report" | grep -q ': warning: '; then
        fail "desktop-file-validate"
    fi
    grep -qx "Icon=$app_id" "$desktop" || fail "launcher does not name icon $app_id"
    grep -qx "Exec=stemora" "$desktop" || fail "launcher does not start plain stemora"
fi

if [ -f "$metainfo" ]; then
    # --strict: warnings and infos fail too; pedantic remarks do not.
    appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli validate"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "metadata id is not $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metadata does not launch $app_id.desktop"
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install into a temporary prefix: all checks passed"
