#!/bin/bash
# Builds the base Wine prefix the tests copy (once; later calls return at once).
#   make-prefix.sh BASE_DIR
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
base=$1
mkdir -p "$(dirname "$base")"
exec 9>"$base.lock"
flock 9
[ -f "$base/.qel-ready" ] && exit 0

rm -rf "$base"
mkdir -p "$base"
export WINEPREFIX=$base
export QEL_WINE_HOME=$base/.home
source "$here/wine-env.sh"
"$QEL_WINE" wineboot -i >/dev/null 2>&1
"$QEL_WINESERVER" -w
# The user folders are links to $HOME; make them real folders of the prefix.
for link in "$base"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
[ -f "$base/system.reg" ] || { echo "make-prefix: wineboot failed in $base" >&2; exit 1; }
touch "$base/.qel-ready"
