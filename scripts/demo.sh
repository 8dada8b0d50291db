#!/bin/bash
# The main job on the sample package: builds qelwls64.exe and the sample
# adapter package, then installs, upgrades and uninstalls the package's
# applications under Wine, showing the status lines, the exit codes and what
# each step left on the (Wine) machine. Needs root on a fresh machine (to
# install the packages).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/prerequisites.sh
cmake --preset mingw -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset mingw --target qelwls64 sample_package

package=$root/build/examples/package
winroot=$root/build/wine
bash tests/wine/make-prefix.sh "$winroot/base"
prefix=$winroot/demo
rm -rf "$prefix"
cp -a "$winroot/base" "$prefix"
export WINEPREFIX=$prefix
export QEL_WINE_HOME=$winroot/home
source tests/wine/wine-env.sh
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT

drive_c=$prefix/drive_c
win_package="Z:${package//\//\\}"

run() {
  echo
  echo "\$ qelwls64.exe $* "
  set +e
  # Standard error only carries the diagnostic log's first header.
  /usr/lib/wine/wine64 "$package/qelwls64.exe" "$@" 2>/dev/null | sed 's/^/  status> /'
  local status=${PIPESTATUS[0]}
  set -e
  echo "  exit code $status; registry message: $(/usr/lib/wine/wine64 reg query 'HKCU\SOFTWARE\QelSetup' /v Message /reg:32 2>/dev/null | tr -d '\r' | awk '/Message/ {print $3}')"
}

show() {
  echo "  installed files:"
  (cd "$drive_c" && find "Program Files/Qel Wireless" "Program Files/Common Files/Qel Shared" \
      windows/system32/qelwlcpl.cpl -type f 2>/dev/null | sort | sed 's/^/    C:\\/; s#/#\\#g') || true
  local log="$drive_c/Program Files/Qel Wireless/Uninstall/qelwls.log"
  if [ -f "$log" ]; then
    echo "  uninstall log:"
    tr -d '\r' < "$log" | sed 's/^/    /'
  fi
  echo "  registry:"
  for key in 'HKLM\SOFTWARE\Qel\Wireless' 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QelWirelessUtilities'; do
    query "$key" /s
  done
  echo "  SharedDLLs:"
  query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs' | grep -i 'qel' || true
}

# Prints a registry key's values indented, or that the key is absent.
query() {
  local out
  out=$(/usr/lib/wine/wine64 reg query "$@" 2>/dev/null | tr -d '\r' | grep -v '^$' || true)
  if [ -n "$out" ]; then echo "$out" | sed 's/^ */    /'; else echo "    $1: none"; fi
}

echo "Sample package: $package"
run apponly_install "$win_package"
show
run upgrade "$win_package"
show
run uninstall "$win_package"
show
echo
echo "Diagnostic log of the three runs: $drive_c/users/$(whoami)/Temp/qelwl.log"
