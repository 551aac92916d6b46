#!/usr/bin/env bash
# Builds kelvane and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (-DKELVANE_SANITIZE=ON) in a build directory of
# their own, and runs the whole CTest suite there. Any sanitizer report ends
# the process it happens in with a non-zero status, so the test fails.
#
#   tests/sanitized.sh [ctest arguments, e.g. -R e2e]
#
# Settings (environment):
#   KELVANE_SANITIZE_BUILD  build directory (build-sanitize beside tests/)
#   CXX                     compiler (clang++ when there is one, else g++)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVANE_SANITIZE_BUILD:-$root/build-sanitize}

compiler=${CXX:-}
if [ -z "$compiler" ]; then
  for candidate in clang++ clang++-14 g++; do
    if command -v "$candidate" >/dev/null; then compiler=$candidate; break; fi
  done
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKELVANE_SANITIZE=ON -DKELVANE_WERROR=ON
cmake --build "$build" -j2

# detect_leaks: kelvane allocates nothing, so any leak is news.
# detect_stack_use_after_return: the watcher's buffers live on the stack of
# nested signal handlers. halt_on_error/exitcode: stop at the first report.
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:halt_on_error=1:exitcode=86
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87
# Slow cases that check the real DOSEMU and xreader, not kelvane: run once, by test.sh's first pass.
unset KELVANE_REAL_DOSEMU KELVANE_REAL_XREADER
cd "$build"
# Most cases sleep through 4-second ticks, each in a /tmp of its own, so
# they run side by side whatever the number of cores.
ctest -j16 --output-on-failure --no-tests=error "$@"
