#!/usr/bin/env bash
# Builds kelvane and runs every test, after installing what they need.
# Run from anywhere; builds into build/.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils \
    groff-base man-db mandoc dpkg-dev file

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
(cd build && ctest -j2 --output-on-failure)
