#!/usr/bin/env bash
# Builds kelvane and runs every test, after installing what they need:
# the unit and end-to-end tests, the same again sanitized, and the fuzzers.
# Run from anywhere; builds into build/.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils \
    groff-base man-db mandoc dpkg-dev file clang libclang-rt-14-dev strace dosbox nasm

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
(cd build && ctest -j2 --output-on-failure)
# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, then
# each fuzz target for a bounded time.
tests/sanitized.sh
fuzz/run.sh
