#!/usr/bin/env bash
# What one tick of the watcher costs on this machine, beside the watcher a
# user would otherwise write by hand (a shell loop of `sleep 4` and
# `tail -c 1`). A measurement, not a test: it prints the numbers, and
# docs/PERFORMANCE.md keeps the ones taken when it was last run.
#
#   bench/tick_cost.sh [KELVANE]      (builds build-bench/kelvane when not given)
#
# Needs: strace, python3, a C compiler (cc), valgrind (optional, a cross-check).
# Takes about 50 s: every run below goes side by side; each lets the stand-in
# emulator of tests/stubs sleep 44 s, so that kelvane ticks 10 times.
#
#   kelvane, per print file (none; 1 KiB and 8 GiB sparse, unfinished, so
#   that every tick reports it; 8 GiB complete, whose conversion fails, so
#   that every later tick finds it kept):
#     - CPU time per tick: /proc/PID/schedstat (time on a CPU, in ns), read
#       between the ticks, over 10 ticks (8 for the kept file);
#     - system calls and bytes read per tick: strace -ttt (kelvane alone, not
#       its commands), cut at each SIGALRM; a tick counts up to the next
#       one, so the resumed wait for the emulator is in it;
#     - peak resident memory (VmHWM) against a plain `sleep`.
#   the hand-written watcher (dash): the same, from wait4's resource use and
#   strace -f, less a run of the same script with no round at all.
#   heap allocations over 10 ticks: an LD_PRELOAD counter of malloc, calloc,
#   realloc, the aligned allocators and operator new, built here, which names
#   the object that called it; and valgrind's count as a cross-check.
#   start-up until the timer is armed: strace -ttt -e execve,setitimer, and
#   without a tracer, from fork to setitimer as the counter sees it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

kelvane=${1:-}
if [ -z "$kelvane" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build-bench" -j2 --target kelvane >/dev/null
  kelvane=$root/build-bench/kelvane
fi
kelvane=$(cd "$(dirname "$kelvane")" && pwd)/$(basename "$kelvane")
for tool in strace python3 cc; do
  command -v "$tool" >/dev/null || { echo "tick_cost.sh: $tool is needed"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The allocation counter. It counts only in a process named kelvane (the
# commands it runs inherit LD_PRELOAD), keeps every call in a fixed table and
# writes it out at exit, with the object and symbol that called.
cat >"$work/count_alloc.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

struct entry { const char* kind; size_t size; void* caller; long long ns; };
static struct entry entries[4096];
static atomic_int used;
static int active = -1;
static long long main_ns = -1, armed_ns = -1;

static long long now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void note(const char* kind, size_t size, void* caller)
{
    if (active < 0)
        active = strcmp(program_invocation_short_name, "kelvane") == 0;
    if (!active)
        return;
    const int i = atomic_fetch_add(&used, 1);
    if (i < (int)(sizeof entries / sizeof entries[0]))
        entries[i] = (struct entry){kind, size, caller, now()};
}

void* malloc(size_t n) { note("malloc", n, __builtin_return_address(0)); return __libc_malloc(n); }
void* calloc(size_t n, size_t m) { note("calloc", n * m, __builtin_return_address(0)); return __libc_calloc(n, m); }
void* realloc(void* p, size_t n) { note("realloc", n, __builtin_return_address(0)); return __libc_realloc(p, n); }
void* memalign(size_t a, size_t n) { note("memalign", n, __builtin_return_address(0)); return __libc_memalign(a, n); }
void* aligned_alloc(size_t a, size_t n) { note("aligned_alloc", n, __builtin_return_address(0)); return __libc_memalign(a, n); }
int posix_memalign(void** p, size_t a, size_t n)
{
    note("posix_memalign", n, __builtin_return_address(0));
    *p = __libc_memalign(a, n);
    return *p ? 0 : ENOMEM;
}
void free(void* p) { __libc_free(p); }
void* _Znwm(size_t n) { note("operator new", n, __builtin_return_address(0)); return __libc_malloc(n); }
void* _Znam(size_t n) { note("operator new[]", n, __builtin_return_address(0)); return __libc_malloc(n); }

int setvbuf(FILE* f, char* b, int mode, size_t n)
{
    if (main_ns < 0)
        main_ns = now();
    int (*real)(FILE*, char*, int, size_t) = (int (*)(FILE*, char*, int, size_t))dlsym(RTLD_NEXT, "setvbuf");
    return real(f, b, mode, n);
}

int setitimer(__itimer_which_t which, const struct itimerval* value, struct itimerval* old)
{
    if (armed_ns < 0 && value && (value->it_value.tv_sec || value->it_value.tv_usec))
        armed_ns = now();
    int (*real)(__itimer_which_t, const struct itimerval*, struct itimerval*)
        = (int (*)(__itimer_which_t, const struct itimerval*, struct itimerval*))dlsym(RTLD_NEXT, "setitimer");
    return real(which, value, old);
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("KELVANE_ALLOC_LOG");
    if (active != 1 || path == NULL)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    char line[512];
    int n = snprintf(line, sizeof line, "main %lld\narmed %lld\n", main_ns, armed_ns);
    write(fd, line, n);
    const int count = used < 4096 ? used : 4096;
    for (int i = 0; i < count; ++i) {
        Dl_info info = {0};
        dladdr(entries[i].caller, &info);
        n = snprintf(line, sizeof line, "alloc %lld %zu %s|%s|%s\n", entries[i].ns, entries[i].size, entries[i].kind,
                     info.dli_fname ? info.dli_fname : "?", info.dli_sname ? info.dli_sname : "?");
        write(fd, line, n);
    }
    close(fd);
}
EOF
cc -O2 -shared -fPIC -o "$work/count_alloc.so" "$work/count_alloc.c" -ldl

# The floor: the least a 4 s tick can cost here, an empty SIGALRM handler
# (SA_NODEFER, as kelvane's) interrupting the same kind of wait for a child for the
# stand-in emulator.
cat >"$work/floor.c" <<'EOF'
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>

static void tick(int signal_number) { (void)signal_number; }

int main(void)
{
    struct itimerval period = {{4, 0}, {4, 0}};
    setitimer(ITIMER_REAL, &period, NULL);
    struct sigaction action = {0};
    action.sa_handler = tick;
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, NULL);
    return system("dosemu -X") == 0 ? 0 : 1;
}
EOF
cc -O2 -o "$work/floor_tick" "$work/floor.c"

export PYTHONDONTWRITEBYTECODE=1
python3 - "$kelvane" "$root/tests/stubs" "$work" <<'PY'
import os, re, signal, statistics, subprocess, sys, threading, time

KELVANE, STUBS, WORK = sys.argv[1:4]
PERIOD = 4.0
GIB = 1 << 30

# The print files: how the guest makes them, and which ticks are idle.
FILES = {
    "none": ("", 0),
    "1 KiB": ("head -c 1023 /dev/zero | tr '\\0' x > document/DRUCKEN.PS; echo >> document/DRUCKEN.PS", 0),
    "8 GiB": ("truncate -s %d document/DRUCKEN.PS; echo >> document/DRUCKEN.PS" % (8 * GIB - 1), 0),
    # Complete, but its conversion fails: found at tick 1, tried at tick 2, kept after.
    "8 GiB complete, kept": ("truncate -s %d document/DRUCKEN.PS; printf '\\004' >> document/DRUCKEN.PS"
                             % (8 * GIB - 1), 2),
}
HAND_WRITTEN = r'''
ps=$1 rounds=$2 eot=$(printf '\004') i=0
while [ $i -lt "$rounds" ]; do
  sleep 4
  [ "$(tail -c 1 "$ps" 2>/dev/null)" = "$eot" ] && echo "complete: $ps"
  i=$((i + 1))
done
'''


def place(name):
    directory = os.path.join(WORK, re.sub(r"\W+", "-", name))
    os.makedirs(os.path.join(directory, "guest", "document"), exist_ok=True)
    os.makedirs(os.path.join(directory, "guest", "userdata"), exist_ok=True)
    return directory


def start_kelvane(name, make, prefix=(), env_extra=None, guest_seconds=44, program=KELVANE):
    directory = place(name)
    with open(os.path.join(directory, "guest.sh"), "w") as f:
        f.write("%s\nsleep %d\n" % (make, guest_seconds))
    open(os.path.join(directory, "fail-ps2pdf"), "w").close()
    env = dict(os.environ, PATH=STUBS + os.pathsep + os.environ["PATH"],
               KELVANE_TEST_RECORD=os.path.join(directory, "record"),
               KELVANE_TEST_ROOT=directory,
               KELVANE_TEST_GUEST=os.path.join(directory, "guest.sh"),
               KELVANE_TEST_DIR=os.path.join(directory, "guest"))
    env.update(env_extra or {})
    out = open(os.path.join(directory, "stdout"), "wb")
    started = time.monotonic_ns()
    process = subprocess.Popen(list(prefix) + [program, os.path.join(directory, "guest")], env=env,
                               stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                               start_new_session=True)
    return process, directory, started


def schedstat_ns(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])


def cpu_run(name, make, skip, results, program=KELVANE):
    process, directory, started = start_kelvane(name, make, program=program)
    # Read half-way between ticks: each difference is one tick's CPU time.
    samples = []
    for moment in range(2 + 4 * skip, 43, 4):
        time.sleep(max(0, moment - (time.monotonic_ns() - started) / 1e9))
        samples.append(schedstat_ns(process.pid))
    rss = peak_rss_kib(process.pid)
    process.wait()
    ticks = [(b - a) / 1000 for a, b in zip(samples, samples[1:])]
    results[name] = {"cpu_us": statistics.median(ticks), "cpu_range": (min(ticks), max(ticks)),
                     "rss": rss, "ticks": len(ticks)}


# "PID  " (strace -f) and "SECONDS.MICRO " (-ttt) in front, either or both.
SYSCALL = re.compile(r"^(?:\d+\s+)?(?:\d+\.\d+\s+)?(?:<\.\.\. (\w+) resumed>|(\w+)\()")
RESULT = re.compile(r"= (-?\d+)")


def parse(lines):
    """System calls and bytes read in a stretch of strace output."""
    calls = read = 0
    for line in lines:
        m = SYSCALL.match(line)
        if not m:
            continue
        resumed, name = m.group(1), m.group(2)
        if name:
            calls += 1
        if (resumed or name) in ("read", "pread64") and not line.rstrip().endswith("<unfinished ...>"):
            r = RESULT.search(line.rsplit(")", 1)[-1])
            if r and int(r.group(1)) > 0:
                read += int(r.group(1))
    return calls, read


def trace_run(name, make, skip, results, program=KELVANE):
    trace = os.path.join(WORK, re.sub(r"\W+", "-", name) + ".trace")
    process, directory, _ = start_kelvane(name + " traced", make, program=program,
                                          prefix=["strace", "-qq", "-ttt", "-o", trace])
    process.wait()
    with open(trace) as f:
        lines = f.read().splitlines()
    cuts = [i for i, line in enumerate(lines) if "--- SIGALRM" in line]
    # Whole ticks only: each runs up to the next tick's signal.
    stretches = [lines[a:b] for a, b in zip(cuts, cuts[1:])][skip:10]
    per_tick = [parse(s) for s in stretches]
    calls = sorted({c for c, _ in per_tick})
    reads = sorted({r for _, r in per_tick})
    names = {}
    for line in stretches[-1]:
        m = SYSCALL.match(line)
        if m and m.group(2):
            names[m.group(2)] = names.get(m.group(2), 0) + 1
    results[name].update(calls=statistics.mean(c for c, _ in per_tick), calls_seen=calls,
                         read=statistics.mean(r for _, r in per_tick), read_seen=reads,
                         tick_calls=names, traced_ticks=len(per_tick))


def hand_run(ps, rounds, traced):
    command = ["sh", "-c", HAND_WRITTEN, "watcher", ps, str(rounds)]
    # In the run's own directory: WORK/<run>/guest/document/DRUCKEN.PS
    trace = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(ps))), "hand-%d.trace" % rounds)
    if traced:
        command = ["strace", "-qq", "-f", "-o", trace] + command
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            process.returncode = status  # reaped here, with its resource use
            break
        if not traced:
            try:
                peak = max(peak, peak_rss_kib(process.pid))
            except (FileNotFoundError, ProcessLookupError):
                pass
        time.sleep(0.2)
    if traced:
        with open(trace) as f:
            return parse(f.read().splitlines())
    return (usage.ru_utime + usage.ru_stime) * 1e6, peak


def hand_written(name, make, results):
    if not make:
        make = ":"
    directory = place("hand " + name)
    subprocess.run(["sh", "-c", make], cwd=os.path.join(directory, "guest"), check=True)
    ps = os.path.join(directory, "guest", "document", "DRUCKEN.PS")
    rounds = 10
    outcome = {}

    def measure(key, traced):
        full = hand_run(ps, rounds, traced)
        empty = hand_run(ps, 0, traced)
        outcome[key] = (full, empty)

    threads = [threading.Thread(target=measure, args=(k, t)) for k, t in (("cpu", False), ("trace", True))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    (cpu_full, peak), (cpu_empty, _) = outcome["cpu"]
    (calls_full, read_full), (calls_empty, read_empty) = outcome["trace"]
    results[name] = {"cpu_us": (cpu_full - cpu_empty) / rounds, "calls": (calls_full - calls_empty) / rounds,
                     "read": (read_full - read_empty) / rounds, "rss": peak}


def alloc_run(name, make, results):
    log = os.path.join(WORK, re.sub(r"\W+", "-", name) + ".alloc")
    process, _, started = start_kelvane(name + " counted", make, env_extra={
        "LD_PRELOAD": os.path.join(WORK, "count_alloc.so"), "KELVANE_ALLOC_LOG": log})
    process.wait()
    main_ns = armed_ns = None
    allocations = []
    with open(log) as f:
        for line in f:
            kind, rest = line.split(" ", 1)
            if kind == "main":
                main_ns = int(rest)
            elif kind == "armed":
                armed_ns = int(rest)
            else:
                ns, size, who = rest.rstrip("\n").split(" ", 2)
                allocations.append((int(ns), int(size), who))
    phases = {"before main": [], "main, before the tick": [], "ticks": []}
    for ns, size, who in allocations:
        kind, obj, sym = who.split("|")
        entry = "%s of %d B from %s (%s)" % (kind, size, sym, os.path.basename(obj))
        if ns < main_ns:
            phases["before main"].append(entry)
        elif ns < armed_ns + 1e9:
            phases["main, before the tick"].append(entry)
        else:
            phases["ticks"].append(entry)
    results[name] = {"phases": phases, "armed_after_fork_ms": (armed_ns - started) / 1e6}


def valgrind_run(name, make, results):
    log = os.path.join(WORK, "valgrind.log")
    process, _, _ = start_kelvane(name + " valgrind", make,
                                  prefix=["valgrind", "--tool=memcheck", "--log-file=" + log])
    process.wait()
    with open(log) as f:
        text = f.read()
    m = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees, ([\d,]+) bytes allocated", text)
    results[name] = m.group(0) if m else "no summary (valgrind said: %s)" % text[-300:]


def sleep_rss(results):
    process = subprocess.Popen(["sleep", "3"])
    time.sleep(1)
    results["sleep"] = peak_rss_kib(process.pid)
    process.wait()


def startup(results):
    traced, untraced = [], []
    for i in range(5):
        trace = os.path.join(WORK, "startup-%d.trace" % i)
        process, _, _ = start_kelvane("startup %d" % i, "", guest_seconds=0,
                                      prefix=["strace", "-qq", "-ttt", "-e", "trace=execve,setitimer", "-o", trace])
        process.wait()
        stamps = {}
        with open(trace) as f:
            for line in f:
                ts, call = line.split(" ", 1)
                name = call.split("(", 1)[0]
                if name in ("execve", "setitimer") and name not in stamps:
                    stamps[name] = float(ts)
        traced.append((stamps["setitimer"] - stamps["execve"]) * 1000)
        log = os.path.join(WORK, "startup-%d.alloc" % i)
        process, _, started = start_kelvane("startup counted %d" % i, "", guest_seconds=0, env_extra={
            "LD_PRELOAD": os.path.join(WORK, "count_alloc.so"), "KELVANE_ALLOC_LOG": log})
        process.wait()
        with open(log) as f:
            armed = [int(l.split()[1]) for l in f if l.startswith("armed")][0]
        untraced.append((armed - started) / 1e6)
    results["startup"] = {"traced_ms": statistics.median(traced), "untraced_ms": statistics.median(untraced),
                          "all_traced": traced, "all_untraced": untraced}


kelvane, traced, hand, allocs, other = {}, {}, {}, {}, {}
jobs = []
for name, (make, skip) in FILES.items():
    kelvane[name] = {}
    jobs.append(threading.Thread(target=cpu_run, args=(name, make, skip, kelvane)))
    jobs.append(threading.Thread(target=trace_run, args=(name, make, skip, traced)))
    traced[name] = {}
    if name != "8 GiB complete, kept":
        jobs.append(threading.Thread(target=hand_written, args=(name, make, hand)))
FLOOR = os.path.join(WORK, "floor_tick")
kelvane["floor"], traced["floor"] = {}, {}
jobs.append(threading.Thread(target=cpu_run, args=("floor", "", 0, kelvane, FLOOR)))
jobs.append(threading.Thread(target=trace_run, args=("floor", "", 0, traced, FLOOR)))
jobs.append(threading.Thread(target=alloc_run, args=("1 KiB", FILES["1 KiB"][0], allocs)))
jobs.append(threading.Thread(target=alloc_run, args=("8 GiB complete, kept", FILES["8 GiB complete, kept"][0], allocs)))
have_valgrind = subprocess.run(["sh", "-c", "command -v valgrind"], stdout=subprocess.DEVNULL).returncode == 0
if have_valgrind:
    jobs.append(threading.Thread(target=valgrind_run, args=("1 KiB", FILES["1 KiB"][0], other)))
jobs.append(threading.Thread(target=sleep_rss, args=(other,)))
for i, job in enumerate(jobs):
    job.start()
    time.sleep(0.13)  # not every tick of every run at the same instant
for job in jobs:
    job.join()
startup(other)

for name in kelvane:
    kelvane[name].update(traced[name])


def uname():
    u = os.uname()
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    return "%d CPUs (nproc), %s; Linux %s %s" % (os.cpu_count(), model, u.release, u.machine)


print("\n## Measured %s on: %s\n" % (time.strftime("%Y-%m-%d"), uname()))
print("### One tick, kelvane beside the hand-written watcher (sleep 4; tail -c 1)\n")
print("| print file | kelvane: system calls | kelvane: CPU µs | kelvane: bytes read "
      "| by hand: system calls | by hand: CPU µs | by hand: bytes read | ratio calls / CPU |")
print("|---|---:|---:|---:|---:|---:|---:|---:|")
floor = kelvane.pop("floor")
for name, k in kelvane.items():
    h = hand.get(name)
    if h:
        print("| %s | %.0f | %.1f | %.0f | %.0f | %.0f | %.0f | %.0f× / %.0f× |" % (
            name, k["calls"], k["cpu_us"], k["read"], h["calls"], h["cpu_us"], h["read"],
            h["calls"] / k["calls"], h["cpu_us"] / k["cpu_us"]))
    else:
        print("| %s | %.0f | %.1f | %.0f | – | – | – | – |" % (name, k["calls"], k["cpu_us"], k["read"]))
print("\nkelvane's CPU time is the median of %d ticks (8 for the kept file); the range of single ticks:" % (
    kelvane["none"]["ticks"]))
for name, k in kelvane.items():
    print("- %s: %.1f to %.1f µs" % ((name,) + k["cpu_range"]))
print("\nThe floor, an empty SIGALRM handler interrupting the same kind of wait for a child: "
      "%.0f system calls, %.1f µs CPU per tick (%.1f to %.1f)." % (
          floor["calls"], floor["cpu_us"], floor["cpu_range"][0], floor["cpu_range"][1]))
print("\nkelvane, the system calls of one tick (the resumed wait for the emulator included):")
for name, k in kelvane.items():
    print("- %s (%d ticks traced, per tick seen: %s calls, %s bytes read): %s" % (
        name, k["traced_ticks"], k["calls_seen"], k["read_seen"],
        ", ".join("%s×%d" % (c, n) for c, n in sorted(k["tick_calls"].items()))))
equal = kelvane["1 KiB"]["read_seen"] == kelvane["8 GiB"]["read_seen"]
print("\nBytes read per tick, 1 KiB against 8 GiB print file: %s and %s -> %s" % (
    kelvane["1 KiB"]["read_seen"], kelvane["8 GiB"]["read_seen"], "equal" if equal else "NOT EQUAL"))

print("\n### Peak resident memory (VmHWM)\n")
print("- kelvane: %s KiB (no print file), %s KiB (8 GiB print file)" % (
    kelvane["none"]["rss"], kelvane["8 GiB"]["rss"]))
print("- sleep: %s KiB" % other["sleep"])
print("- the hand-written watcher's shell (dash) alone: %s KiB" % hand["none"]["rss"])

print("\n### Heap allocations in kelvane (LD_PRELOAD counter)\n")
for name, a in allocs.items():
    print("- %s, a whole run:" % name)
    for phase, entries in a["phases"].items():
        print("  - %s: %d%s" % (phase, len(entries), (" — " + "; ".join(entries)) if entries else ""))
if have_valgrind:
    print("- valgrind memcheck, 1 KiB print file, a whole run: %s" % other["1 KiB"])

s = other["startup"]
print("\n### Start-up until the first tick is armed (median of 5)\n")
print("- under strace, execve to setitimer: %.2f ms (%s)" % (
    s["traced_ms"], ", ".join("%.2f" % v for v in s["all_traced"])))
print("- no tracer, fork in the harness to setitimer: %.2f ms (%s)" % (
    s["untraced_ms"], ", ".join("%.2f" % v for v in s["all_untraced"])))
PY
