#!/usr/bin/env python3
"""kelvane with a real DOS emulator: DOSBox runs PRINT.COM (standins/dosbox/),
which prints a letter, then a brochure; the real psutils and ghostscript
convert them. usage: dosbox_test.py KELVANE PRINT_COM. Exit status 77 (a skip)
when dosbox or PRINT.COM (built with nasm) is missing, unless CI=true."""

import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
import own_tmp  # noqa: E402

from real_tools_test import (STANDINS, booklet_order, nup_sheets, page_numbers, pdf_page_count,
                             standin_env)

KELVANE = PRINT_COM = None
# What the commands kelvane runs say on stderr: the adapter, the viewer, rm
# and psutils. Anything else there would be kelvane's own.
OTHERS = re.compile(r"(dosemu \(DOSBox\)|xreader stand-in|rm): |(\[\d+\] )+Wrote \d+ pages, \d+ bytes$")


def job_lines(ps, layout, steps):
    return (["Found file to print", "Zeichen 4", "Found config file. Configuration %d" % layout] + steps
            + ["Start PDF-Reader:", "   - xreader /tmp/drucken.pdf", "Delete original PS file:", "   - rm " + ps])


class DOSBoxTest(unittest.TestCase):
    def test_letter_then_brochure_from_a_dos_program(self):
        work = tempfile.mkdtemp(prefix="kelvane-dosbox-test-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        guest, keep = os.path.join(work, "guest dir"), os.path.join(work, "viewer")
        os.mkdir(guest)
        env = standin_env(KELVANE_STANDIN_GUEST=guest, KELVANE_STANDIN_JOBS="letter brochure",
                          KELVANE_STANDIN_DOS_PROGRAM=PRINT_COM, KELVANE_STANDIN_TIMEOUT="75",
                          KELVANE_STANDIN_KEEP=keep, KELVANE_STANDIN_VIEWER="none",
                          KELVANE_STANDIN_VIEWER_PAUSE="0")
        env["PATH"] = os.path.join(STANDINS, "dosbox") + os.pathsep + env["PATH"]
        started, before = time.monotonic(), resource.getrusage(resource.RUSAGE_CHILDREN)
        # A session of its own, so a hung run leaves no DOSBox behind.
        run = subprocess.Popen([KELVANE, guest], cwd=work, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
        try:
            out, err = run.communicate(timeout=100)
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)
            out, err = run.communicate()
        elapsed, after = time.monotonic() - started, resource.getrusage(resource.RUSAGE_CHILDREN)
        print("DOSBox case: %.1f s wall, %.1f s CPU (user+sys, children included)" % (
            elapsed, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
        transcript = "\n--- stdout\n%s--- stderr\n%s" % (out, err)

        self.assertEqual(run.returncode, 0, transcript)
        self.assertLess(elapsed, 60, transcript)
        # DOSBox's own messages (its first is "DOSBox version ...") stay out of the transcript.
        self.assertNotIn("DOSBox", out, transcript)
        self.assertEqual([line for line in err.splitlines() if not OTHERS.match(line)], [], transcript)
        self.assertIn("dosemu (DOSBox): all 2 print job(s) were taken", err, transcript)
        self.assertEqual(sorted(os.listdir(guest)), ["document", "userdata"], transcript)
        self.assertEqual(os.listdir(os.path.join(guest, "document")), [], transcript)
        ps = "'%s/document/DRUCKEN.PS'" % guest
        expected = (["Start GEOS:", "   - dosemu -X"]
                    + job_lines(ps, 0, ["Letter print", "Convert PS file to PDF:",
                                        "   - ps2pdf %s /tmp/drucken.pdf" % ps])
                    + job_lines(ps, 1, ["Book print", "Convert PS file to a book file:",
                                        "   - psbook %s /tmp/book.ps" % ps, "Re-organize book to brochure:",
                                        "   - psnup -3 /tmp/book.ps /tmp/brochure.ps", "Convert PS file to PDF:",
                                        "   - ps2pdf /tmp/brochure.ps /tmp/drucken.pdf"]))
        lines, at = out.splitlines(), 0
        for line in expected:
            self.assertIn(line, lines[at:], "missing, or out of order" + transcript)
            at = lines.index(line, at) + 1

        self.assertEqual(sorted(f for f in os.listdir(keep) if f.endswith(".pdf")),
                         ["job-1.pdf", "job-2.pdf"])
        letter, brochure = os.path.join(keep, "job-1.pdf"), os.path.join(keep, "job-2.pdf")
        self.assertEqual([page_numbers(letter, p) for p in range(1, pdf_page_count(letter) + 1)],
                         [[1], [2], [3], [4], [5]])
        self.assertEqual([page_numbers(brochure, s) for s in range(1, pdf_page_count(brochure) + 1)],
                         nup_sheets(booklet_order(8), 3))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: %s KELVANE PRINT_COM [unittest arguments]" % sys.argv[0])
    KELVANE, PRINT_COM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [what for what, there in (("dosbox", shutil.which("dosbox")),
                                        (PRINT_COM, os.path.isfile(PRINT_COM))) if not there]
    if missing:
        why = "missing: %s (Debian packages dosbox and nasm)" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            sys.exit("FAIL: " + why)
        print("SKIP: " + why)
        sys.exit(77)
    own_tmp.enter_or_say(os.path.dirname(os.path.abspath(__file__)), KELVANE, PRINT_COM)
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
