#!/bin/bash
# Runs a Windows test program that opens windows, as wine-run.sh does, under a
# virtual X server of its own (Xvfb on a free display), in Wine's virtual
# desktop (so Wine draws the windows' frames as Windows does), with a
# screenshot service:
#
#   gui-run.sh PROGRAM.exe [ARGS...]
#
# The program asks for a screenshot by writing C:\qelshots\<name>.request with
# "x y width height" (screen pixels); the service saves <name>.png into
# $QEL_ARTIFACTS_DIR (default: artifacts/<program> beside the Wine root) and
# answers by creating C:\qelshots\<name>.done. The X server and the service
# are stopped on every path.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
program=$1

root=${QEL_WINE_ROOT:-$(pwd)/wine}
export QEL_WINE_PREFIX_NAME=${QEL_WINE_PREFIX_NAME:-$(basename "$program" .exe)}
shots=$root/prefixes/$QEL_WINE_PREFIX_NAME/drive_c/qelshots
artifacts=${QEL_ARTIFACTS_DIR:-$(dirname "$root")/artifacts/$QEL_WINE_PREFIX_NAME}
mkdir -p "$artifacts"

work=$(mktemp -d)
xvfb=
watcher=
stop() {
  if [ -n "$watcher" ]; then kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null; fi
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT TERM

# The screen is the virtual desktop's size, so the desktop lies at 0,0 and
# window coordinates are screen coordinates.
width=800 height=600
# Xvfb takes a free display itself and writes its number once it is ready.
Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "gui-run: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export QEL_DISPLAY=:$(head -n1 "$work/display")

cat >"$work/desktop.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="${width}x${height}"
REG
export QEL_WINE_REG_IMPORT=$work/desktop.reg

serve_screenshots() {
  while :; do
    for request in "$shots"/*.request; do
      [ -f "$request" ] || continue
      name=$(basename "$request" .request)
      read -r x y w h <"$request"
      import -display "$QEL_DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$artifacts/$name.png" \
        2>>"$work/import.log" || cat "$work/import.log" >&2
      rm -f "$request"
      touch "$shots/$name.done"
    done
    sleep 0.1
  done
}
serve_screenshots &
watcher=$!

bash "$here/wine-run.sh" "$@"
status=$?
exit $status
