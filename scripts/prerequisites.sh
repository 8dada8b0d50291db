#!/bin/bash
# Installs the Debian packages the build and the tests need, when missing.
#   prerequisites.sh          install what is missing
#   prerequisites.sh --check  install nothing; fail unless every program the
#                             build, the harness, the demo and the benchmark call
#                             comes from a package of the list below (or from the
#                             base system)
set -eu

# The packages, and the programs each of them brings that the scripts, the
# CMake build and the Wine harness call. Wine's programs are called by the
# paths the wine64 package gives them: the PATH names come only from the
# optional "wine" package, which a --no-install-recommends install skips.
# The window tests run under a virtual X server (xvfb) and take their
# screenshots with ImageMagick's import.
packages=(
  g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  wine64
  cmake
  make
  googletest
  gcab
  xvfb
  imagemagick-6.q16
)
programs=(
  x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres
  x86_64-w64-mingw32-objcopy
  /usr/lib/wine/wine64 /usr/lib/wine/wineserver64
  cmake ctest make gcab
  Xvfb import
  flock cp rm mkdir sed awk tr find grep sort touch dirname basename ln
  cat head cksum diff sync mktemp seq
)
# Not a program, but a source tree the test build compiles.
source_trees=(/usr/src/googletest)

# The package that owns a file; on a merged /usr, dpkg knows /usr/bin/cp as /bin/cp.
package_of() {
  local owner
  owner=$(dpkg -S "$1" 2>/dev/null | head -n1 | cut -d: -f1 || true)
  if [ -z "$owner" ] && [[ $1 == /usr/* ]]; then
    owner=$(dpkg -S "${1#/usr}" 2>/dev/null | head -n1 | cut -d: -f1 || true)
  fi
  echo "$owner"
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

check() {
  local failed=0 program path owner script
  for program in "${programs[@]}" "${source_trees[@]}"; do
    if [[ $program == /* ]]; then path=$program; else path=$(command -v "$program" || true); fi
    if [ -z "$path" ] || [ ! -e "$path" ]; then
      echo "prerequisites: $program is not on this machine" >&2; failed=1; continue
    fi
    path=$(readlink -f "$path")
    owner=$(package_of "$path")
    if [ -z "$owner" ]; then
      echo "prerequisites: $program ($path) belongs to no Debian package" >&2; failed=1; continue
    fi
    if [[ " ${packages[*]} " == *" $owner "* ]]; then continue; fi
    # The base system every Debian machine has (essential or required).
    if [ "$(dpkg-query -W -f='${Essential}' "$owner" 2>/dev/null)" = yes ] ||
       [ "$(dpkg-query -W -f='${Priority}' "$owner" 2>/dev/null)" = required ]; then continue; fi
    echo "prerequisites: $program comes from $owner, which scripts/prerequisites.sh does not install" >&2
    failed=1
  done
  # The harness and the scripts call Wine's programs by path only: a bare
  # name in command position would come from the PATH.
  # This script is left out: it names packages, and calls no Wine program.
  local scripts=()
  for script in "$(dirname "$0")"/*.sh "$(dirname "$0")"/../tests/wine/*.sh; do
    [ "$(basename "$script")" = prerequisites.sh ] || scripts+=("$script")
  done
  if grep -nE '(^|[;&|(`]|then|do|else)[[:space:]]*(wine|wine64|wineserver)([[:space:]]|$)' \
       "${scripts[@]}" | grep -vE '^[^:]+:[0-9]+:[[:space:]]*#'; then
    echo "prerequisites: the lines above call a Wine program by its PATH name" >&2
    failed=1
  fi
  return $failed
}

if [ "${1:-}" = --check ]; then
  check
  echo "prerequisites: every program the build and the harness call is covered"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
