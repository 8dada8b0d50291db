#!/bin/bash
# The main job on the sample package: builds qelwls64.exe and the sample
# adapter package, then under Wine installs, upgrades and uninstalls the
# package's applications, and installs and uninstalls the package with its
# driver on both driver roads (from Vista on and before), showing the status
# lines, the exit codes and what each step left on the (Wine) machine. Needs root on a fresh machine (to
# install the packages).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/prerequisites.sh
cmake --preset mingw -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset mingw --target qelwls64 dpinst64 sample_package

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

# The driver's side: the OEM INFs of the store that hold the package, the
# adapter's driver key.
show_driver() {
  echo "  INF store (the package's copies):"
  # Windows names every copy oem<N>.inf; Wine keeps the package's own name
  # unless another INF has it.
  (cd "$drive_c/windows/inf" && grep -l 'Qel Wireless PCIe Adapter' ./*.inf 2>/dev/null | sed 's#^\./#    C:\\windows\\inf\\#') ||
    echo "    none"
  echo "  the adapter's device:"
  local driver
  if driver=$("$QEL_WINE" reg query "$adapter" /v Driver 2>/dev/null); then
    driver=$(echo "$driver" | tr -d '\r' | awk '/Driver/ {print $3}')
    echo "    driver key HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\$driver:"
    query "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\$driver" | grep -v 'Ndi\|^    HKEY' || true
  elif "$QEL_WINE" reg query "$adapter" >/dev/null 2>&1; then
    echo "    present, no driver"
  else
    echo "    removed"
  fi
}

# A present adapter: Wine lists a device whose Enum key names its hardware
# ids and class as present hardware.
adapter='HKLM\System\CurrentControlSet\Enum\PCI\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\4&1d6a&0&00E0'
add_adapter() {
  "$QEL_WINE" reg add "$adapter" /v HardwareID /t REG_MULTI_SZ /d 'PCI\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\0PCI\VEN_1D6A&DEV_4360' /f >/dev/null
  "$QEL_WINE" reg add "$adapter" /v ClassGUID /d '{4D36E972-E325-11CE-BFC1-08002BE10318}' /f >/dev/null
  "$QEL_WINE" reg add "$adapter" /v DeviceDesc /d 'Qel Wireless PCIe Adapter' /f >/dev/null
}

echo "Sample package: $package"
echo
echo "== The applications (apponly_install; the extra section Tools takes in the tools component)"
run apponly_install "$win_package" Tools
show
run upgrade "$win_package"
show
run uninstall "$win_package"
show

echo
echo "== Driver and applications from Vista on (Wine reports Windows 10): the driver package installer"
add_adapter
run install "$win_package" Tools
show
show_driver
run uninstall "$win_package"
show_driver

echo
echo "== Driver and applications before Vista (Windows XP x64): the INF store and the device update"
echo "   (Wine's configuration manager cannot name a device's hardware ids, so no device is updated here;"
echo "   on Windows the adapter takes the staged INF; Wine names the store's copy qelwl.inf, not"
echo "   oem<N>.inf, and the uninstall only ever removes OEM copies, so here it stays)"
"$QEL_WINE" reg add 'HKCU\Software\Wine\AppDefaults\qelwls64.exe' /v Version /d winxp64 /f >/dev/null
add_adapter
run install "$win_package" Tools
show_driver
echo "  uninstall log's driver records:"
grep -a '^CopyInf' "$drive_c/Program Files/Qel Wireless/Uninstall/qelwls.log" | tr -d '\r' | sed 's/^/    /' || echo "    none"
run uninstall "$win_package"
show_driver
echo
echo "Diagnostic log of the runs: $drive_c/users/$(whoami)/Temp/qelwl.log"
