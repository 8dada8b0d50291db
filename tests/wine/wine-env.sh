# Wine settings shared by every prefix of the tests (sourced).
# -all keeps Debian's wrapper and Wine quiet; winedbg and winemenubuilder are
# switched off so a crash or a shortcut never reaches the host's desktop.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;winedbg.exe=d;mscoree=d;mshtml=d"
export WINEARCH=win64
# Wine's programs by the paths Debian's wine64 package gives them: the PATH
# names (wine, wineserver) come only from the optional "wine" package.
export QEL_WINE=/usr/lib/wine/wine64
export QEL_WINESERVER=/usr/lib/wine/wineserver64
export WINESERVER=$QEL_WINESERVER
# No display, unless the harness started a virtual X server for a program
# that opens windows (gui-run.sh).
export DISPLAY=${QEL_DISPLAY:-}
# A home of the harness's own: nothing Wine writes below $HOME reaches the
# user's, and a CI environment without HOME works the same.
if [ -n "${QEL_WINE_HOME:-}" ]; then
  export HOME=$QEL_WINE_HOME
  mkdir -p "$HOME"
fi
