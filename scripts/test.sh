#!/bin/bash
# Builds qelwls64.exe, its companions and every test, and runs the tests under
# Wine. Needs root on a fresh machine (to install the packages).
set -eu
cd "$(dirname "$0")/.."
bash scripts/prerequisites.sh
cmake --preset mingw -DBUILD_TESTING=ON
cmake --build --preset mingw
ctest --preset mingw "$@"
