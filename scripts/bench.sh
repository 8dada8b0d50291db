#!/bin/bash
# The benchmark: installs and uninstalls generated packages with qelwls64.exe
# under Wine and sets the times against baselines run the same way, then
# prints a table and one line of ratios. Needs root on a fresh machine (to
# install the packages). Not part of the tests.
#
#   scripts/bench.sh [--quick] [--files A,B] [--file-size BYTES] [--folders N]
#                    [--big COUNT,MIB] [--runs N]
#
# Packages (default): A = 1,000 and B = 10,000 files of 4 KiB in 10 folders,
# and 20 files of 50 MiB. --quick: 100 and 1,000 files, 4 files of 8 MiB, one
# run (a smoke run of a minute or two).
#
# Each package is installed with `apponly_install` into a fresh destination
# and uninstalled with `uninstall`; the baselines are small Windows programs
# (bench/):
#   safe          per file one log line flushed to disk, CopyFileW to a
#                 temporary name beside the destination, MoveFileExW into place
#   plain         CopyFileW alone
#   raw delete    DeleteFileW of every installed file
#   aside delete  every installed file moved to a new name beside it, then
#                 deleted: the least a removal that can be undone does
# Everything runs in one Wine prefix set-up: the Wine server is kept up, an
# untimed warm-up round runs first, and every timed run gets a fresh copy of
# the base prefix (with the server up and one untimed program run in it).
# Times are medians; the install and the uninstall include the clean-up's
# fixed 2 s pause, which the ratios also give without. Before each install,
# `qelkit check` and `qelkit plan` read the same package on the same fresh
# prefix; their times are set against the install's without the pause.
#
# Every run is checked: the exit code and Result line, the installed files
# equal to the package's (no file missing, none extra, no temporary file
# left), and after an uninstall or raw delete no file of the package left.
#
# Times come from qelbench_run.exe, which starts the program, waits for it
# and reads its peak memory: GetProcessMemoryInfo's peak working set, which
# Wine takes from the process's VmHWM (peak resident size), polled every 5 ms
# while it runs.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

small=(1000 10000)
file_size=4096
folders=10
big_count=20
big_mib=50
runs=3
while [ $# -gt 0 ]; do
  case $1 in
    --quick) small=(100 1000); big_count=4; big_mib=8; runs=1 ;;
    --files) IFS=, read -r -a small <<<"$2"; shift ;;
    --file-size) file_size=$2; shift ;;
    --folders) folders=$2; shift ;;
    --big) IFS=, read -r big_count big_mib <<<"$2"; shift ;;
    --runs) runs=$2; shift ;;
    *) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
  shift
done
if [ ${#small[@]} -ne 2 ]; then echo "bench: --files takes two counts" >&2; exit 2; fi

bash scripts/prerequisites.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target qelwls64 qelkit qelbench_copy qelbench_delete qelbench_run

bench=$root/build/bench
bin=$bench/bin
out=$bench/out
winroot=$root/build/wine
bash tests/wine/make-prefix.sh "$winroot/base"
mkdir -p "$out" "$bench/packages"

prefix=$bench/prefix
export WINEPREFIX=$prefix
export QEL_WINE_HOME=$bench/home
source tests/wine/wine-env.sh
trap '"$QEL_WINESERVER" -k 2>/dev/null || true' EXIT

destination="$prefix/drive_c/Program Files/QelBench"
win_destination='C:\Program Files\QelBench'

windows_path() { local path=$1; echo "Z:${path//\//\\}"; }

# --- packages -----------------------------------------------------------------
# make_package NAME COUNT SIZE FOLDERS: generated once, again when a parameter
# or qelwls64.exe changes.
make_package() {
  local name=$1 count=$2 size=$3 folders=$4
  local dir=$bench/packages/$name
  local stamp="$count $size $folders $(cksum < bench/make-package.awk)"
  if [ ! -f "$dir/.ready" ] || [ "$(cat "$dir/.ready")" != "$stamp" ]; then
    echo "Generating package $name ($count files of $size bytes in $folders folders)"
    rm -rf "$dir"
    mkdir -p "$dir"
    local k
    for ((k = 0; k < folders; k++)); do mkdir -p "$dir/d$k"; done
    # Large files are random bytes; small ones text awk writes itself.
    local data=1
    [ "$size" -gt 1048576 ] && data=0
    awk -v dir="$dir" -v count="$count" -v size="$size" -v folders="$folders" -v data=$data \
      -f bench/make-package.awk
    if [ $data = 0 ]; then
      local path
      while read -r path; do head -c "$size" /dev/urandom > "$dir/$path"; done < "$dir/manifest.txt"
    fi
    echo "$stamp" > "$dir/.ready"
  fi
  cp build/bin/qelwls64.exe "$dir/qelwls64.exe"
  cp build/bin/qelkit.exe "$dir/qelkit.exe"
}

# --- runs -----------------------------------------------------------------------
# A fresh copy of the base prefix with its server up, warmed by one program.
fresh_prefix() {
  "$QEL_WINESERVER" -k 2>/dev/null || true
  "$QEL_WINESERVER" -w 2>/dev/null || true
  rm -rf "$prefix"
  cp -a "$winroot/base" "$prefix"
  "$QEL_WINESERVER" -p
  "$QEL_WINE" "$bin/qelbench_run.exe" "$(windows_path "$out/warm.txt")" 'C:\windows\system32\cmd.exe' /c exit >/dev/null
  # What earlier runs left to write back is on disk before the clock runs.
  sync
}

# timed LABEL PROGRAM ARGS...: runs the program through the launcher; sets
# elapsed (seconds), peak (MiB) and status; the program's output is in
# $out/LABEL.txt.
timed() {
  local label=$1; shift
  local line
  line=$("$QEL_WINE" "$bin/qelbench_run.exe" "$(windows_path "$out/$label.txt")" "$@" | tr -d '\r')
  elapsed=$(echo "$line" | sed -n 's/.*elapsed_ms=\([0-9.]*\).*/\1/p' | awk '{printf "%.3f", $1 / 1000}')
  peak=$(echo "$line" | sed -n 's/.*peak_working_set=\([0-9]*\).*/\1/p' | awk '{printf "%.1f", $1 / 1048576}')
  status=$(echo "$line" | sed -n 's/.*exit=\([0-9]*\).*/\1/p')
  if [ -z "$elapsed" ] || [ -z "$status" ]; then fail "$label: the launcher reported '$line'"; fi
}

fail() { echo "bench: $*" >&2; exit 1; }

# Nothing a run leaves in the Windows folder: no temporary file, no marker.
expect_no_leftovers() {
  local left
  left=$(find "$prefix/drive_c/windows" -maxdepth 1 \( -iname 'qel*.tmp' -o -iname 'qelwls-*.run' \) | head -n 3)
  [ -z "$left" ] || fail "$1: left in the Windows folder: $left"
}

# The installed files are the package's, byte for byte, and nothing else.
expect_installed() {
  local label=$1 package=$2 folders=$3 k
  for ((k = 0; k < folders; k++)); do
    diff -rq "$package/d$k" "$destination/d$k" >/dev/null ||
      fail "$label: the files of d$k differ from the package's: $(diff -rq "$package/d$k" "$destination/d$k" | head -n 3)"
  done
  expect_no_leftovers "$label"
}

# Nothing of the package is left (an uninstall keeps its uninstall log).
expect_removed() {
  local label=$1 left
  left=$(find "$destination" -type f ! -path "$destination/Uninstall/qelwls.log" 2>/dev/null | head -n 3)
  [ -z "$left" ] || fail "$label: files left after removal: $left"
  expect_no_leftovers "$label"
}

expect_result() {
  local label=$1
  [ "$status" = 0 ] || fail "$label: exit code $status; output in $out/$label.txt"
  grep -q '^Result,0,SetupSuccess,,' "$out/$label.txt" || fail "$label: no success Result line in $out/$label.txt"
}

# One round over a package: the installer, then the two copy baselines.
# Appends "kind seconds" lines to $results (and "peak MiB" for the install).
round() {
  local name=$1 folders=$2 results=$3
  local package=$bench/packages/$name
  local win_package
  win_package=$(windows_path "$package")
  local manifest="$win_package\\manifest.txt"

  fresh_prefix
  timed check "$win_package\\qelkit.exe" check "$win_package" apponly_install
  [ "$status" = 0 ] || fail "check: exit code $status: $(tail -n 3 "$out/check.txt")"
  echo "check $elapsed" >> "$results"
  timed plan "$win_package\\qelkit.exe" plan "$win_package" apponly_install
  [ "$status" = 0 ] || fail "plan: exit code $status: $(tail -n 3 "$out/plan.txt")"
  grep -q '^Total ' "$out/plan.txt" || fail "plan: no total in $out/plan.txt"
  echo "plan $elapsed" >> "$results"
  timed install "$win_package\\qelwls64.exe" apponly_install "$win_package"
  expect_result install
  expect_installed install "$package" "$folders"
  echo "install $elapsed" >> "$results"
  echo "peak $peak" >> "$results"
  timed uninstall "$win_package\\qelwls64.exe" uninstall "$win_package"
  expect_result uninstall
  expect_removed uninstall
  echo "uninstall $elapsed" >> "$results"

  fresh_prefix
  timed safe "$(windows_path "$bin/qelbench_copy.exe")" safe "$win_package" "$win_destination" "$manifest" 'C:\windows\qelbench-safe.log'
  [ "$status" = 0 ] || fail "safe: exit code $status: $(cat "$out/safe.txt")"
  expect_installed safe "$package" "$folders"
  echo "safe $elapsed" >> "$results"
  timed delete "$(windows_path "$bin/qelbench_delete.exe")" "$win_destination" "$manifest"
  [ "$status" = 0 ] || fail "raw delete: exit code $status: $(cat "$out/delete.txt")"
  expect_removed "raw delete"
  echo "delete $elapsed" >> "$results"

  fresh_prefix
  timed plain "$(windows_path "$bin/qelbench_copy.exe")" plain "$win_package" "$win_destination" "$manifest"
  [ "$status" = 0 ] || fail "plain: exit code $status: $(cat "$out/plain.txt")"
  expect_installed plain "$package" "$folders"
  echo "plain $elapsed" >> "$results"
  timed aside "$(windows_path "$bin/qelbench_delete.exe")" --aside "$win_destination" "$manifest"
  [ "$status" = 0 ] || fail "aside delete: exit code $status: $(cat "$out/aside.txt")"
  expect_removed "aside delete"
  echo "aside $elapsed" >> "$results"
}

# The median of the values of one kind.
median() {
  awk -v kind="$1" '$1 == kind {print $2}' "$2" | sort -g |
    awk '{v[NR] = $1} END {if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)]}'
}

# --- the measurement ------------------------------------------------------------
names=("f${small[0]}x${file_size}" "f${small[1]}x${file_size}" "b${big_count}x${big_mib}m")
labels=("${small[0]} × $((file_size / 1024)) KiB" "${small[1]} × $((file_size / 1024)) KiB" "$big_count × $big_mib MiB")
counts=("${small[0]}" "${small[1]}" "$big_count")
sizes=("$file_size" "$file_size" "$((big_mib * 1048576))")
package_folders=("$folders" "$folders" 1)

for i in 0 1 2; do make_package "${names[$i]}" "${counts[$i]}" "${sizes[$i]}" "${package_folders[$i]}"; done

for i in 0 1 2; do
  results=$out/${names[$i]}.results
  : > "$results"
  echo "Package ${labels[$i]}: warm-up round"
  round "${names[$i]}" "${package_folders[$i]}" /dev/null
  for ((r = 1; r <= runs; r++)); do
    echo "Package ${labels[$i]}: run $r of $runs"
    round "${names[$i]}" "${package_folders[$i]}" "$results"
  done
done
"$QEL_WINESERVER" -k 2>/dev/null || true

pause=2  # the clean-up's fixed pause, in every install and uninstall
declare -A m
for i in 0 1 2; do
  for kind in install safe plain uninstall delete aside peak check plan; do m[$i,$kind]=$(median $kind "$out/${names[$i]}.results"); done
done

echo
echo "Medians of $runs run(s), in seconds; install and uninstall include the ${pause} s pause of the clean-up."
printf '%-18s %9s %9s %9s %10s %11s %13s %12s %7s %7s\n' package install safe plain uninstall "raw delete" \
  "aside delete" "peak memory" check plan
for i in 0 1 2; do
  printf '%-18s %9.2f %9.2f %9.2f %10.2f %11.2f %13.2f %8.1f MiB %7.2f %7.2f\n' "${labels[$i]}" "${m[$i,install]}" \
    "${m[$i,safe]}" "${m[$i,plain]}" "${m[$i,uninstall]}" "${m[$i,delete]}" "${m[$i,aside]}" "${m[$i,peak]}" \
    "${m[$i,check]}" "${m[$i,plan]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
less_pause() { awk -v a="$1" -v p=$pause 'BEGIN {printf "%.3f", a - p}'; }
line="Ratios: install/safe"
for i in 0 1 2; do
  line+=" ${counts[$i]}: $(ratio "${m[$i,install]}" "${m[$i,safe]}") ($(ratio "$(less_pause "${m[$i,install]}")" "${m[$i,safe]}") without the pause)"
  [ $i -lt 2 ] && line+=","
done
line+="; uninstall/raw delete without the pause"
for i in 0 1 2; do
  line+=" ${counts[$i]}: $(ratio "$(less_pause "${m[$i,uninstall]}")" "${m[$i,delete]}")"
  [ $i -lt 2 ] && line+=","
done
line+=" (over aside delete"
for i in 0 1 2; do
  line+=" ${counts[$i]}: $(ratio "$(less_pause "${m[$i,uninstall]}")" "${m[$i,aside]}")"
  [ $i -lt 2 ] && line+=","
done
line+=")"
line+="; ${counts[1]}/${counts[0]} files without the pause: install $(ratio "$(less_pause "${m[1,install]}")" "$(less_pause "${m[0,install]}")")"
line+=", uninstall $(ratio "$(less_pause "${m[1,uninstall]}")" "$(less_pause "${m[0,uninstall]}")")"
line+="; peak memory at ${counts[1]} files: ${m[1,peak]} MiB"
echo "$line"
# qelkit reads a package before it is installed: at most a tenth of the
# install's own time (without the pause) is the aim.
line="Check and plan over install without the pause:"
for i in 0 1; do
  line+=" ${counts[$i]} files: check $(ratio "${m[$i,check]}" "$(less_pause "${m[$i,install]}")")"
  line+=", plan $(ratio "${m[$i,plan]}" "$(less_pause "${m[$i,install]}")")"
  [ $i -lt 1 ] && line+=";"
done
echo "$line"
