#!/usr/bin/env bash
# Builds kelvane and runs every test, after installing what they need:
# the unit and end-to-end tests, the same again sanitized, and the fuzzers.
# Run from anywhere; builds into build-test/, so that build/ stays the
# Release build that ./demo.sh made and `cmake --install build` installs.
# Compiler warnings are errors here (KELVANE_WERROR), unlike a user's build.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils \
    groff-base man-db mandoc dpkg-dev file lintian clang libclang-rt-14-dev strace dosbox nasm \
    xvfb xdotool x11-apps imagemagick qpdfview

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=ON
cmake --build build-test -j2
# A build that found no GoogleTest has no tests, which must not pass.
(cd build-test && ctest -j2 --output-on-failure --no-tests=error)
# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, then
# each fuzz target for a bounded time.
tests/sanitized.sh
fuzz/run.sh
