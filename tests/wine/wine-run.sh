#!/bin/bash
# Runs a Windows test program under Wine in a prefix of its own.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# The first call builds a base prefix under $QEL_WINE_ROOT (default: ./wine
# below the current build folder); each program then gets a fresh copy named
# after it (or $QEL_WINE_PREFIX_NAME), so test programs can run in parallel
# without sharing registry, temporary folder or Windows folder. The prefix's
# wineserver is kept warm while the program runs and stopped afterwards.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
program=$1; shift

root=${QEL_WINE_ROOT:-$(pwd)/wine}
name=${QEL_WINE_PREFIX_NAME:-$(basename "$program" .exe)}
prefix=$root/prefixes/$name

"$here/make-prefix.sh" "$root/base" || exit 1

rm -rf "$prefix"
mkdir -p "$root/prefixes"
cp -a "$root/base" "$prefix"

export WINEPREFIX=$prefix
export QEL_WINE_HOME=$root/home
source "$here/wine-env.sh"

"$QEL_WINESERVER" -p
# Registry settings a program needs before it starts (a .reg file, imported
# with Wine's regedit).
if [ -n "${QEL_WINE_REG_IMPORT:-}" ]; then
  "$QEL_WINE" regedit /S "Z:${QEL_WINE_REG_IMPORT//\//\\}" || exit 1
fi
"$QEL_WINE" "$program" "$@"
status=$?
"$QEL_WINESERVER" -k 2>/dev/null
"$QEL_WINESERVER" -w 2>/dev/null
# Keep the prefix of a failed run for a look; a passed one only takes room.
[ "$status" -eq 0 ] && [ -z "${QEL_KEEP_PREFIX:-}" ] && rm -rf "$prefix"
exit $status
