#!/usr/bin/env bash
# Builds kelvane and runs every test, after installing what they need:
# the unit and end-to-end tests, the same again sanitized, and the fuzzers;
# then one line says what ran, what passed and how long it took.
# Run from anywhere; builds into build-test/, so that build/ stays the
# Release build that ./demo.sh made and `cmake --install build` installs.
# Compiler warnings are errors here (KELVANE_WERROR), unlike a user's build.
set -euo pipefail
cd "$(dirname "$0")"

results=() step="installing packages"
summary() {
  local status=$? joined
  joined=$(printf '%s, ' "${results[@]}")
  joined=${joined%, }
  echo
  if [ "$status" -eq 0 ]; then
    echo "test.sh: all passed in $SECONDS s ($joined)"
  else
    echo "test.sh: FAILED at $step after $SECONDS s${joined:+ ($joined)}"
  fi
}
trap summary EXIT

# passed LOG: how many of ctest's cases in LOG passed, and how many of those
# were skipped.
passed() {
  local log=$1 count skipped text
  count=$(sed -nE 's/.* ([0-9]+) tests? failed out of ([0-9]+)$/\1 \2/p' "$log" | tail -n 1)
  [ -n "$count" ] || { echo "did not run"; return; }
  set -- $count
  text="$(($2 - $1)) of $2 passed"
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  [ "$skipped" -eq 0 ] || text+=", $skipped of them skipped"
  echo "$text"
}

scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils \
    groff-base man-db mandoc dpkg-dev file lintian clang libclang-rt-14-dev strace dosbox nasm \
    xvfb xdotool x11-apps imagemagick qpdfview fusefat dosfstools

step="the build"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=ON
cmake --build build-test -j2

# Each part runs to its end, so that the summary tells all of them.
failed=0 step="the tests"
# Most cases sleep through 4-second ticks, each in a /tmp of its own, so
# they run side by side whatever the number of cores. A build that found no
# GoogleTest has no tests, which must not pass.
(cd build-test && ctest -j16 --output-on-failure --no-tests=error) 2>&1 | tee build-test/ctest.log || failed=1
results+=("unit and end-to-end: $(passed build-test/ctest.log)")
# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
tests/sanitized.sh 2>&1 | tee build-test/sanitized.log || failed=1
results+=("sanitized: $(passed build-test/sanitized.log)")
# Each fuzz target for a bounded time; its last line says how that went.
fuzz/run.sh 2>&1 | tee build-test/fuzz.log || failed=1
results+=("$(tail -n 1 build-test/fuzz.log)")
exit "$failed"
