#!/usr/bin/env bash
# What one idle tick of the watcher costs, beside the watcher a user would
# otherwise write by hand: a shell loop of `sleep 4` and `tail -c 1`. A
# measurement, not a test; docs/PERFORMANCE.md keeps the numbers of its
# last run.
#
#   bench/tick_cost.sh [KELVANE]     (builds build-bench/kelvane, Release, when not given)
#
# Needs strace, python3 and valgrind. Takes about a minute: all runs go side
# by side, each kelvane under the stand-in emulator of tests/stubs, whose
# guest puts the print file in place and sleeps while kelvane ticks 10 times:
#   - system calls and bytes read inside each tick's handler: strace;
#   - CPU time per tick: /proc/PID/schedstat half-way between ticks, untraced;
#   - peak resident memory (VmHWM), against a plain `sleep`;
#   - heap allocations over a whole run: valgrind, for kept, dosemu-kept and
#     dosbox, and over dosbox's start-up alone;
#   - start-up until the timer is armed: strace, five runs one after another;
#   - the hand-written loop: strace -f and bash's `time`, 10 rounds less none.
# bench/tick_report.py turns what the runs leave into the tables.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kelvane=${1:-}
if [ -z "$kelvane" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build-bench" -j2 --target kelvane >/dev/null
  kelvane=$root/build-bench/kelvane
fi
kelvane=$(realpath "$kelvane")
for tool in strace python3 valgrind; do
  command -v "$tool" >/dev/null || { echo "tick_cost.sh: $tool is needed"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The print file of each case, made in the guest directory. The kept ones are
# complete: found at tick 1, the conversion fails at tick 2, kept after that.
# The cases after kept have the print file named as DOSEMU (lower case) or
# DOSBox (an upper-case folder) make it, among 300 other entries of the
# guest's own, made first as the guest's files would be there before a job.
fill='touch $(seq -f FILE%04g.GEO 300)'
declare -A make=(
  [none]=":"
  [kib]="head -c 1023 /dev/zero | tr '\\0' x > document/DRUCKEN.PS; echo >> document/DRUCKEN.PS"
  [gib]="truncate -s $(((8 << 30) - 1)) document/DRUCKEN.PS; echo >> document/DRUCKEN.PS"
  [kept]="truncate -s $(((8 << 30) - 1)) document/DRUCKEN.PS; printf '\\004' >> document/DRUCKEN.PS"
  [crowded]="(cd document && $fill)"
  [dosemu]="(cd document && $fill); head -c 1023 /dev/zero | tr '\\0' x > document/drucken.ps; echo >> document/drucken.ps"
  [dosbox]="(cd DOCUMENT && $fill); head -c 1023 /dev/zero | tr '\\0' x > DOCUMENT/DRUCKEN.PS; echo >> DOCUMENT/DRUCKEN.PS"
  [dosemu-kept]="(cd document && $fill); truncate -s $(((8 << 30) - 1)) document/drucken.ps; printf '\\004' >> document/drucken.ps"
)
# The document folder as the guest's emulator made it, there before kelvane
# starts: DOSBox's is upper-case, and there is no other.
declare -A folder=([dosbox]=DOCUMENT)

# start_kelvane RUN CASE [PREFIX...]: in the background, in a directory and a
# /tmp of its own, so that the runs' conversions do not take turns; $! is
# kelvane, or its prefix.
start_kelvane() {
  local dir=$work/$1 case=$2
  shift 2
  mkdir -p "$dir/guest/${folder[$case]:-document}" "$dir/guest/userdata"
  printf '%s\nsleep 44\n' "${make[$case]}" >"$dir/guest.sh"
  touch "$dir/fail-ps2pdf"
  PATH=$root/tests/stubs:$PATH KELVANE_TEST_RECORD=$dir/record KELVANE_TEST_ROOT=$dir \
    KELVANE_TEST_GUEST=$dir/guest.sh KELVANE_TEST_DIR=$dir/guest \
    python3 "$root/scripts/own_tmp.py" "$@" "$kelvane" "$dir/guest" </dev/null >"$dir/out" 2>&1 &
}

# sample PID CASE: CPU ns at 2 s, 6 s, ... 42 s, then the peak memory.
sample() {
  local i
  sleep 2
  for i in $(seq 0 10); do
    cut -d' ' -f1 "/proc/$1/schedstat" >>"$work/$2.cpu"
    [ "$i" -eq 10 ] || sleep 4
  done
  awk '/^VmHWM/ {print $2}' "/proc/$1/status" >"$work/$2.rss"
}

hand_loop='ps=$1 rounds=$2 eot=$(printf "\004") i=0
while [ $i -lt "$rounds" ]; do
  sleep 4
  [ "$(tail -c 1 "$ps" 2>/dev/null)" = "$eot" ] && echo "complete: $ps"
  i=$((i + 1))
done'

# hand CASE: the loop over 10 rounds and over none, traced, and timed.
hand() {
  local dir=$work/hand-$1 rounds
  mkdir -p "$dir/document"
  (cd "$dir" && eval "${make[$1]}")
  for rounds in 10 0; do
    strace -qq -f -o "$dir/trace-$rounds" sh -c "$hand_loop" loop "$dir/document/DRUCKEN.PS" $rounds >/dev/null &
    (TIMEFORMAT='%3U %3S'
     { time sh -c "$hand_loop" loop "$dir/document/DRUCKEN.PS" $rounds >/dev/null; } 2>"$dir/time-$rounds") &
  done
}

for case in none kib gib kept crowded dosemu dosbox dosemu-kept; do
  start_kelvane "traced-$case" "$case" strace -qq -ttt -o "$work/$case.trace"
  start_kelvane "timed-$case" "$case"
  sample $! "$case" &
  case $case in none | kib | gib) hand "$case" ;; esac
  sleep 0.13 # not every tick of every run at the same instant
done
start_kelvane valgrind kept valgrind --log-file="$work/valgrind.log"
sleep 0.13
start_kelvane valgrind-dosemu-kept dosemu-kept valgrind --log-file="$work/valgrind-dosemu-kept.log"
sleep 0.13
start_kelvane valgrind-dosbox dosbox valgrind --log-file="$work/valgrind-dosbox.log"
sleep 3 &
sleep 1
awk '/^VmHWM/ {print $2}' "/proc/$!/status" >"$work/sleep.rss"
wait

# Start-up, one run at a time: an emulator that ends at once.
mkdir -p "$work/startup"
for i in 1 2 3 4 5; do
  PATH=$root/tests/stubs:$PATH KELVANE_TEST_RECORD=$work/startup/record \
    strace -qq -ttt -e trace=execve,setitimer -o "$work/startup-$i.trace" "$kelvane" "$work/startup" >/dev/null 2>&1
done
# And the heap of a start-up alone beside DOSBox's folder, where kelvane
# says what it found: what a whole run's count owes to no tick.
mkdir -p "$work/startup-dosbox/DOCUMENT" "$work/startup-dosbox/userdata"
PATH=$root/tests/stubs:$PATH KELVANE_TEST_RECORD=$work/startup-dosbox/record \
  valgrind --log-file="$work/valgrind-dosbox-startup.log" "$kelvane" "$work/startup-dosbox" >/dev/null 2>&1

echo "## Measured $(date +%F): $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
     "Linux $(uname -r); $kelvane"
echo
python3 "$root/bench/tick_report.py" "$work"
