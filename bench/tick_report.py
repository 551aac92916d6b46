#!/usr/bin/env python3
"""The tables of bench/tick_cost.sh, from what its runs left in WORK:

  CASE.trace          kelvane under strace -ttt: calls inside each SIGALRM
                      handler (rt_sigreturn not counted), after SKIP ticks
  CASE.cpu, .rss      CPU ns sampled half-way between ticks; peak RSS in KiB
  hand-CASE/trace-N   the hand-written loop under strace -f, N rounds (10, 0)
  hand-CASE/time-N    its user and system seconds, bash's `time`
  valgrind*.log       valgrind over a whole run, of the cases in VALGRIND
  sleep.rss

usage: tick_report.py WORK
"""

import os
import re
import statistics
import sys

CASES = [("none", "none", 0), ("kib", "1 KiB, unfinished", 0), ("gib", "8 GiB sparse, unfinished", 0),
         ("kept", "8 GiB sparse, complete, kept after a failed conversion", 2),
         ("crowded", "none, 300 other entries", 0),
         ("dosemu", "document/drucken.ps, 1 KiB, unfinished, 300 other entries", 0),
         ("dosbox", "DOCUMENT/DRUCKEN.PS, 1 KiB, unfinished, 300 other entries", 0),
         ("dosemu-kept", "document/drucken.ps, 8 GiB sparse, complete, kept, 300 other entries", 2)]
# The hand-written loop looks for DRUCKEN.PS alone, as it is written.
HAND = ("none", "kib", "gib")
VALGRIND = [("valgrind.log", "the kept print file (a conversion tried in a tick)"),
            ("valgrind-dosemu-kept.log", "the kept document/drucken.ps among 300 entries"),
            ("valgrind-dosbox.log", "the unfinished DOCUMENT/DRUCKEN.PS among 300 entries"),
            ("valgrind-dosbox-startup.log", "an emulator that ends at once, beside DOCUMENT (start-up alone)")]
# An optional "PID " (-f) and "SECONDS.MICRO " (-ttt), then a call or its resumption.
CALL = re.compile(r"^(?:\d+ +)?(\d+\.\d+ +)?(?:<\.\.\. (\w+) resumed>|(\w+)\()")


def calls(lines):
    """(name, bytes read, time) for each call, once, at its start; bytes come at its end."""
    for name, read, stamp, _ in outcomes(lines):
        yield name, read, stamp


def outcomes(lines):
    """calls(), and the error a call failed with ("" if none)."""
    for line in lines:
        m = CALL.match(line)
        if m:
            result = re.search(r"\) += (\d+)", line)
            read = int(result.group(1)) if result and (m.group(2) or m.group(3)) in ("read", "pread64") else 0
            error = re.search(r"\) += -1 (E\w+)", line)
            yield m.group(3), read, float(m.group(1) or 0), error.group(1) if error else ""


def lines(path):
    with open(path) as f:
        return f.read().splitlines()


def ticks(trace, skip):
    """The calls of each tick's handler."""
    found, inside = [], None
    for line in lines(trace):
        if "--- SIGALRM" in line:
            inside = []
        elif inside is not None and " rt_sigreturn(" in line:
            found.append(list(outcomes(inside)))
            inside = None
        elif inside is not None:
            inside.append(line)
    return found[skip:]


def hand(work, case):
    def total(rounds):
        seen = list(calls(lines(os.path.join(work, "hand-" + case, "trace-%d" % rounds))))
        with open(os.path.join(work, "hand-" + case, "time-%d" % rounds)) as f:
            cpu = sum(float(x) for x in f.read().split())
        return sum(1 for name, _, _ in seen if name), sum(r for _, r, _ in seen), cpu
    full, empty = total(10), total(0)
    return [(a - b) / 10 for a, b in zip(full, empty)]


def kinds(per_tick):
    """The calls of the ticks, in order, failures named; each kind of tick once, with
    how many ticks were of it, when they were not all alike."""
    seen = {}
    for tick in per_tick:
        order = tuple(name + (" (%s)" % error if error else "") for name, _, _, error in tick)
        seen[order] = seen.get(order, 0) + 1
    def one(order):
        names = {}
        for name in order:
            names[name.split()[0]] = names.get(name.split()[0], 0) + 1
        return "%s; in order: %s" % (", ".join("%s×%d" % n for n in sorted(names.items())) or "none",
                                     ", ".join(order) or "none")
    if len(seen) == 1:
        return one(next(iter(seen)))
    return "; ".join("%d ticks: [%s]" % (count, one(order)) for order, count in seen.items())


def span(values):
    low, high = min(values), max(values)
    return "%d" % low if low == high else "%d–%d" % (low, high)


def main(work):
    read = lambda name: open(os.path.join(work, name)).read().strip()
    print("| print file | kelvane: calls | kelvane: bytes read | kelvane: CPU µs "
          "| by hand: calls | by hand: bytes read | by hand: CPU µs | by hand ÷ kelvane, calls / CPU |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    notes, spread = [], []
    for case, title, skip in CASES:
        per_tick = ticks(os.path.join(work, case + ".trace"), skip)
        ns = [int(x) for x in read(case + ".cpu").split()][skip:]
        each = [(b - a) / 1000 for a, b in zip(ns, ns[1:])]
        cpu = statistics.median(each)
        spread.append("%s %.0f–%.0f" % (case, min(each), max(each)))
        row = [title, span([len(t) for t in per_tick]), span([sum(r for _, r, _, _ in t) for t in per_tick]),
               "%.0f" % cpu]
        if case not in HAND:
            row += ["–"] * 4
        else:
            h_calls, h_read, h_cpu = hand(work, case)
            row += ["%.0f" % h_calls, "%.0f" % h_read, "%.0f" % (h_cpu * 1e6),
                    "%.0f× / %.0f×" % (h_calls / max(len(t) for t in per_tick), h_cpu * 1e6 / cpu)]
        print("| " + " | ".join(row) + " |")
        notes.append("- %s, the calls of a tick (%d ticks): %s" % (title, len(per_tick), kinds(per_tick)))
    print("\n" + "\n".join(notes))
    print("- CPU µs: the median of the ticks; by hand: bash's `time` of 10 rounds less none, per round")
    print("- CPU µs, the cheapest and the dearest tick: " + ", ".join(spread))
    print("- peak resident memory (VmHWM): kelvane %s KiB with no print file, %s KiB with the 8 GiB one; "
          "a plain sleep %s KiB" % (read("none.rss"), read("gib.rss"), read("sleep.rss")))
    print("- peak resident memory (VmHWM) among 300 entries: kelvane %s KiB with no print file, "
          "%s KiB with DOCUMENT/DRUCKEN.PS" % (read("crowded.rss"), read("dosbox.rss")))
    for log, title in VALGRIND:
        heap = re.search(r"total heap usage: .*", read(log))
        print("- valgrind, a whole run with %s: %s" % (title, heap.group(0) if heap else "no summary"))
    startup = []
    for run in range(1, 6):
        at = {}
        for name, _, stamp in calls(lines(os.path.join(work, "startup-%d.trace" % run))):
            at.setdefault(name, stamp)
        startup.append((at["setitimer"] - at["execve"]) * 1000)
    print("- start-up under strace, execve to the timer armed: %.1f ms, the median of %s" % (
        statistics.median(startup), ", ".join("%.1f" % ms for ms in startup)))


if __name__ == "__main__":
    main(sys.argv[1])
