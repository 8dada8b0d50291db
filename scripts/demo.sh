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
"$QEL_WINESERVER" -p
trap '"$QEL_WINESERVER" -k 2>/dev/null || true' EXIT

drive_c=$prefix/drive_c
win_package="Z:${package//\//\\}"

run() {
  echo
  echo "\$ qelwls64.exe $* "
  set +e
  # Standard error only carries the diagnostic log's first header.
  "$QEL_WINE" "$package/qelwls64.exe" "$@" 2>/dev/null | sed 's/^/  status> /'
  local status=${PIPESTATUS[0]}
  set -e
  echo "  exit code $status; registry message: $(message)"
}

# The result message of the last run, or that there is none.
message() {
  local out
  if out=$("$QEL_WINE" reg query 'HKCU\SOFTWARE\QelSetup' /v Message /reg:32 2>/dev/null); then
    echo "$out" | tr -d '\r' | awk '/Message/ {print $3}'
  else
    echo "none"
  fi
}

show() {
  echo "  installed files:"
  (cd "$drive_c" && find "Program Files/Qel Wireless" "Program Files/Common Files/Qel Shared" \
      windows/system32/qelwlcpl.cpl windows/system32/airdock.exe -type f 2>/dev/null | sort | sed 's/^/    C:\\/; s#/#\\#g') || true
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
  query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs' | grep -i 'qel' || echo '    no counts of the package'
}

# Prints a registry key's values indented, or that the key is absent.
# Wine's reg prints its "unable to find" error on standard output, so the exit
# status decides.
query() {
  local out
  if out=$("$QEL_WINE" reg query "$@" 2>/dev/null); then
    echo "$out" | tr -d '\r' | grep -v '^$' | sed 's/^ */    /'
  else
    echo "    $1: absent"
  fi
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
