#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang into their own build directory and
# runs them side by side for a bounded time, each starting from a scratch copy
# of its committed seed corpus (the committed corpus is never written to).
#
#   fuzz/run.sh                      every target, KELVANE_FUZZ_SECONDS each
#   fuzz/run.sh shell_quote_fuzz     one target
#
# Settings (environment):
#   KELVANE_FUZZ_SECONDS     time per target (30)
#   KELVANE_FUZZ_BUILD       build directory (build-fuzz beside fuzz/)
#   KELVANE_FUZZ_WORK        where corpora grow and findings land (kept);
#                            else a fresh directory under ${TMPDIR:-/tmp},
#                            removed unless something was found
#   KELVANE_FUZZ_SHELL_EVERY shell_quote_fuzz asks /bin/sh about one input in
#                            this many (64)
#   CXX                      the Clang to use (clang++, else clang++-14)
#
# A finding ends the run with status 1 and leaves the input under
# $KELVANE_FUZZ_WORK/<target>/findings; copy it into fuzz/corpus/<target>/ so
# that the corpus replay (ctest: fuzz.* and FuzzCorpus.*) keeps it found.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${KELVANE_FUZZ_SECONDS:-30}
build=${KELVANE_FUZZ_BUILD:-$here/../build-fuzz}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(layout_fuzz last_byte_fuzz shell_quote_fuzz)

compiler=${CXX:-}
if [ -z "$compiler" ] || ! "$compiler" --version 2>/dev/null | grep -qi clang; then
  compiler=
  for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null; then compiler=$candidate; break; fi
  done
fi
[ -n "$compiler" ] || { echo "fuzz/run.sh: no clang++ found (Debian: clang, libclang-rt-14-dev)"; exit 1; }

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKELVANE_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work=${KELVANE_FUZZ_WORK:-}
keep_work=${work:+yes}
[ -n "$work" ] || work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-fuzz-XXXXXX")
# All targets at once, side by side, each in its own directory.
pids=()
for target in "${targets[@]}"; do
  corpus=$work/$target/corpus
  findings=$work/$target/findings
  rm -rf "${work:?}/$target"
  mkdir -p "$corpus" "$findings"
  cp -R "$here/corpus/$target/." "$corpus/"
  echo "== $target: ${seconds}s from $(ls "$corpus" | wc -l) seeds"
  # -timeout: one input taking longer than that is a finding too (a hang).
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus" >"$work/$target/log" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  target=${targets[$i]} log=$work/${targets[$i]}/log status=0
  wait "${pids[$i]}" || status=$?
  echo "== $target"
  grep -E '^stat::number_of_executed_units|^#[0-9]+[[:space:]]+DONE' "$log" | sed 's/^/   /' || true
  if [ "$status" -ne 0 ]; then
    echo "   FAILED (status $status); log: $log"
    grep -E '_fuzz: |^==[0-9]+==ERROR|runtime error|Test unit written' "$log" | sed 's/^/   /' || true
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz work directory, findings kept: $work"
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
[ -n "$keep_work" ] || rm -rf "$work"
echo "fuzz: ${#targets[@]} of ${#targets[@]} targets ran ${seconds}s each without a finding"
