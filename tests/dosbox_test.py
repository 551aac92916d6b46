#!/usr/bin/env python3
"""kelvane with a real DOS emulator running PRINT.COM (standins/dosbox/), which
prints a letter, then a brochure, for the real psutils and ghostscript: DOSBox,
or the real DOSEMU as `dosemu -X` on a virtual display with standins/dosemu2/
command.com as the guest's shell. usage: dosbox_test.py KELVANE PRINT_COM
COMMAND_COM DOSBoxTest|DOSEMUTest. Exit status 77 (a skip) when a tool is
missing, unless CI=true, and for DOSEMUTest without KELVANE_REAL_DOSEMU."""

import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import own_tmp
from real_tools_test import (STANDINS, booklet_order, nup_sheets, page_numbers, pdf_page_count,
                             standin_env)

KELVANE = PRINT_COM = COMMAND_COM = None
REAL_DOSEMU = os.environ.get("KELVANE_REAL_DOSEMU")
# KVM fails in some virtual machines (exit 99); DOSEMU's own CPU emulator runs anywhere.
DOSEMURC = '$_cpu_vm = "emulated"\n$_cpu_vm_dpmi = "emulated"\n$_sound = (off)\n$_layout = "us"\n'
# What the commands kelvane runs say on stderr: the adapter, the viewer, rm
# and psutils. Anything else there would be kelvane's own.
OTHERS = re.compile(r"(dosemu \(DOSBox\)|xreader stand-in|rm): |(\[\d+\] )+Wrote \d+ pages, \d+ bytes$")


def job_lines(ps, layout, steps):
    return (["Found file to print", "Zeichen 4", "Found config file. Configuration %d" % layout] + steps
            + ["Start PDF-Reader:", "   - xreader /tmp/drucken.pdf", "Delete original PS file:", "   - rm " + ps])


def run_kelvane(case, guest, env, cwd):
    """kelvane's exit status and what it and its commands said."""
    started, before = time.monotonic(), resource.getrusage(resource.RUSAGE_CHILDREN)
    # A session of its own, so a hung run leaves no emulator behind.
    run = subprocess.Popen([KELVANE, guest], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           start_new_session=True)
    try:
        out, err = run.communicate(timeout=100)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        out, err = run.communicate()
        err += "kelvane ran past 100 s and was killed\n"
    elapsed, after = time.monotonic() - started, resource.getrusage(resource.RUSAGE_CHILDREN)
    print("%s case: %.1f s wall, %.1f s CPU (user+sys, children included)" % (
        case, elapsed, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    return run.returncode, out, err, elapsed, "\n--- stdout\n%s--- stderr\n%s" % (out, err)


def assert_both_shown(test, keep, transcript):
    """The letter's pages in order, then the brochure as a booklet, three pages a sheet."""
    test.assertEqual(sorted(f for f in os.listdir(keep) if f.endswith(".pdf")),
                     ["job-1.pdf", "job-2.pdf"], transcript)
    letter, brochure = os.path.join(keep, "job-1.pdf"), os.path.join(keep, "job-2.pdf")
    test.assertEqual([page_numbers(letter, p) for p in range(1, pdf_page_count(letter) + 1)],
                     [[1], [2], [3], [4], [5]])
    test.assertEqual([page_numbers(brochure, s) for s in range(1, pdf_page_count(brochure) + 1)],
                     nup_sheets(booklet_order(8), 3))


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
        status, out, err, elapsed, transcript = run_kelvane("DOSBox", guest, env, work)

        self.assertEqual(status, 0, transcript)
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

        assert_both_shown(self, keep, transcript)


@unittest.skipUnless(REAL_DOSEMU, "KELVANE_REAL_DOSEMU does not name the real dosemu")
class DOSEMUTest(unittest.TestCase):
    def test_letter_then_brochure_from_the_geos_folder(self):
        work = tempfile.mkdtemp(prefix="kelvane-dosemu-test-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        # A virtual display for `dosemu -X`, on the first free number, which Xvfb prints.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(xvfb.communicate)
        self.addCleanup(xvfb.kill)
        display = ":" + xvfb.stdout.readline().strip()
        # Folders that DOS makes get lower-case names; copied from a DOS disk they are upper case.
        for folders in ((), ("DOCUMENT", "USERDATA")):
            row = " ".join(folders) or "made by DOS"
            with self.subTest(folders=row):
                root = tempfile.mkdtemp(dir=work)
                home, drive_e, bin_dir, keep = (os.path.join(root, d) for d in ("home", "e", "bin", "viewer"))
                guest = os.path.join(home, ".dosemu", "drive_c", "geoworks")
                for folder in [guest, drive_e, bin_dir, keep] + [os.path.join(guest, f) for f in folders]:
                    os.makedirs(folder)
                pathlib.Path(home, ".dosemu", "dosemurc").write_text(DOSEMURC)
                # DOSEMU boots E:'s command.com, which prints both documents there with PRINT.COM.
                shutil.copy(COMMAND_COM, os.path.join(drive_e, "command.com"))
                shutil.copy(PRINT_COM, os.path.join(drive_e, "PRINT.COM"))
                for number, job in enumerate(("letter", "brochure"), 1):
                    pathlib.Path(drive_e, job.upper() + ".PS").write_bytes(subprocess.run(
                        [os.path.join(STANDINS, "dosemu"), "--document", job, str(number)], capture_output=True,
                        check=True).stdout)
                os.symlink(REAL_DOSEMU, os.path.join(bin_dir, "dosemu"))
                env = standin_env(HOME=home, DOSEMU2_COMCOM_DIR=drive_e, DISPLAY=display,
                                  KELVANE_STANDIN_KEEP=keep, KELVANE_STANDIN_VIEWER="none",
                                  KELVANE_STANDIN_VIEWER_PAUSE="0")
                env["PATH"] = bin_dir + os.pathsep + env["PATH"]
                status, _, _, _, transcript = run_kelvane("DOSEMU (%s)" % row, guest, env, root)

                self.assertEqual(status, 0, transcript)
                left = [os.path.relpath(os.path.join(d, f), guest) for d, _, files in os.walk(guest)
                        for f in files if f.lower() == "drucken.ps"]
                self.assertEqual(left, [], "print file(s) not taken" + transcript)
                assert_both_shown(self, keep, transcript)

    def test_demo(self):
        """./demo.sh dosemu with a HOME whose dosemurc stands for the user's: no guest file left there."""
        work = tempfile.mkdtemp(prefix="kelvane-demo-test-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        home, bin_dir = os.path.join(work, "home"), os.path.join(work, "bin")
        os.makedirs(os.path.join(home, ".dosemu"))
        pathlib.Path(home, ".dosemu", "dosemurc").write_text(DOSEMURC)
        os.mkdir(bin_dir)
        os.symlink(REAL_DOSEMU, os.path.join(bin_dir, "dosemu"))
        env = dict(os.environ, HOME=home, TMPDIR=work, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                   KELVANE_DEMO_BUILD=os.path.dirname(KELVANE))
        # timeout ends the whole run, DOSEMU included: status 124 past 120 s.
        run = subprocess.run(["timeout", "120", "xvfb-run", "-a", os.path.join(STANDINS, "..", "demo.sh"),
                              "dosemu", "--headless"], env=env, capture_output=True, text=True)
        transcript = "\n--- stdout\n%s--- stderr\n%s" % (run.stdout, run.stderr)
        self.assertEqual(run.returncode, 0, transcript)
        assert_both_shown(self, next(pathlib.Path(work).glob("kelvane-demo.*/printed")), transcript)
        left = [os.path.join(d, f) for d, folders, files in os.walk(home) for f in folders + files
                if f.lower() in ("geoworks", "document", "userdata", "drucken.ps", "drucken.cfg")]
        self.assertEqual(left, [], "left in HOME" + transcript)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: %s KELVANE PRINT_COM COMMAND_COM DOSBoxTest|DOSEMUTest" % sys.argv[0])
    KELVANE, PRINT_COM, COMMAND_COM = (os.path.abspath(path) for path in sys.argv[1:4])
    dosemu = any(case.startswith("DOSEMUTest") for case in sys.argv[4:])
    if dosemu and not REAL_DOSEMU:
        print("SKIP: KELVANE_REAL_DOSEMU is not set (the real dosemu binary; .ci/run builds one)")
        sys.exit(77)
    needs = [PRINT_COM] + (["Xvfb", COMMAND_COM, REAL_DOSEMU] if dosemu else ["dosbox"])
    missing = [what for what in needs if not (shutil.which(what) or os.path.isfile(what))]
    if missing:
        why = "missing: %s (Debian packages dosbox, xvfb and nasm)" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            sys.exit("FAIL: " + why)
        print("SKIP: " + why)
        sys.exit(77)
    own_tmp.enter_or_say(os.path.dirname(os.path.abspath(__file__)), KELVANE, PRINT_COM, COMMAND_COM,
                         *filter(None, [REAL_DOSEMU]))
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
