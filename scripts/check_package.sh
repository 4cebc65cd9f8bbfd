#!/usr/bin/env bash
# Checks the .deb that scripts/package.sh built: its contents and fields
# (dpkg-deb -c / -I), and lintian's verdict (no errors); then, as root,
# installs it with dpkg -i, starts the installed /usr/bin/lumivex once under
# a virtual X server (the window appears, Escape ends it with code 0) and
# checks --help and --version (the package's version).
# Usage: scripts/check_package.sh [path/to/lumivex.deb] [--keep]
# Without --keep the package is removed again afterwards.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
deb=""
keep=0
for a in "$@"; do
    case "$a" in --keep) keep=1 ;; *) deb="$a" ;; esac
done
[ -n "$deb" ] || deb="$(ls "$top"/build/package/lumivex_*.deb 2>/dev/null | head -n1 || true)"

fail() { echo "check_package: FAIL: $*" >&2; exit 1; }
pass() { echo "check_package: ok: $*"; }
[ -f "$deb" ] || fail "no .deb (run scripts/package.sh deb)"

contents="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
for f in ./usr/bin/lumivex ./usr/share/doc/lumivex/readme.txt ./usr/share/applications/lumivex.desktop \
    ./usr/share/icons/hicolor/48x48/apps/lumivex.png ./usr/share/icons/hicolor/256x256/apps/lumivex.png \
    ./usr/share/doc/lumivex/copyright ./usr/share/doc/lumivex/changelog.gz ./usr/share/man/man1/lumivex.1.gz; do
    grep -qx "$f" <<<"$contents" || fail "$f is not in the package"
done
pass "program, readme.txt, copyright, changelog, manual page, .desktop file and icons are in the package"
member() { dpkg-deb --fsys-tarfile "$deb" | tar -xO "$1"; }
version="$(dpkg-deb -f "$deb" Version)"
member ./usr/share/doc/lumivex/copyright | grep -qx 'License: Expat' || fail "the copyright file names no licence"
member ./usr/share/doc/lumivex/changelog.gz | gunzip | head -n1 | grep -q "^lumivex ($version) " ||
    fail "the changelog's newest entry is not version $version"
manpage="$(member ./usr/share/man/man1/lumivex.1.gz | gunzip)"
grep -q "^\.TH LUMIVEX .*\"Lumivex $version\"" <<<"$manpage" && grep -q 'help2man' <<<"$manpage" ||
    fail "the manual page is not help2man's for version $version"
grep -qF '/usr/share/doc/lumivex/readme.txt' <<<"$manpage" ||
    fail "the manual page does not point to /usr/share/doc/lumivex/readme.txt"
pass "copyright (Expat), changelog and manual page are for version $version"

command -v lintian >/dev/null || fail "lintian is missing (bash scripts/setup.sh package)"
lintian_out="$(lintian --fail-on error "$deb" 2>&1)" || { echo "$lintian_out" >&2; fail "lintian reports errors"; }
lintian_out="$(grep -v 'running with root privileges' <<<"$lintian_out" || true)"
pass "lintian: no errors${lintian_out:+; }$(echo $lintian_out)"
[ "$(dpkg-deb -f "$deb" Package)" = lumivex ] || fail "package name"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libsdl2-2.0-0 libv4l-0 libyuv0 libturbojpeg0 libfreetype6 libfontconfig1 libc6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
pass "Depends: $depends"
desktop="$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/lumivex.desktop)"
grep -qx 'Exec=lumivex' <<<"$desktop" && grep -qx 'Icon=lumivex' <<<"$desktop" || fail "the .desktop file does not start lumivex with its icon"

[ "$(id -u)" -eq 0 ] || { echo "check_package: not root: install and start not checked"; exit 0; }
for tool in Xvfb xdotool; do command -v "$tool" >/dev/null || fail "$tool is missing"; done

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
installed=0
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    [ "$installed" -eq 1 ] && [ "$keep" -eq 0 ] && dpkg -r lumivex >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
installed=1
pass "dpkg -i $(basename "$deb")"
[ -x /usr/bin/lumivex ] || fail "/usr/bin/lumivex is not there"
[ "$(/usr/bin/lumivex --version)" = "Lumivex $version" ] || fail "--version: $(/usr/bin/lumivex --version)"
/usr/bin/lumivex --help | grep -q '/usr/share/doc/lumivex/readme.txt' || fail "--help does not point to the installed readme.txt"
pass "--version says $version and --help points to /usr/share/doc/lumivex/readme.txt"

source "$top/tests/e2e/xvfb.sh"
start_xvfb "$work" || fail "Xvfb did not start"
export DISPLAY="$xvfb_display"
mkdir "$work/run"
start_lumivex "$work/run" "$work/stderr.log" /usr/bin/lumivex || case $? in
    1) cat "$work/stderr.log" >&2; fail "the installed program ended before its window appeared" ;;
    *) fail "no window named Lumivex" ;;
esac
win="$app_window"
pass "the installed program opened its window"
sleep 0.3
# The window can be gone before xdotool sends the key's release.
xdotool key --window "$win" Escape 2>/dev/null || true
code=""
for _ in $(seq 40); do
    if ! kill -0 "$app_pid" 2>/dev/null; then
        wait "$app_pid" && code=0 || code=$?
        break
    fi
    sleep 0.05
done
app_pid_done="$app_pid"
app_pid=""
[ -n "$code" ] || { kill "$app_pid_done" 2>/dev/null; fail "still running 2 s after Escape"; }
[ "$code" -eq 0 ] || fail "exit code $code after Escape"
pass "Escape ended it with code 0"
