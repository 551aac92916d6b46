#!/usr/bin/env python3
"""End-to-end checks of kelvane with the system's real psbook, psnup and
ps2pdf, and the emulator and viewer stand-ins from standins/.

usage: real_tools_test.py KELVANE [unittest arguments, e.g. EndToEndTest]

kelvane writes its intermediates to fixed paths in /tmp: the run has a /tmp
of its own (tests/harness.py), or takes turns with the other cases that use them.
"""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

STANDINS = os.path.join(os.path.dirname(harness.HERE), "standins")

TOOLS = ("psbook", "psnup", "ps2pdf", "pdfinfo", "pdftotext", "pdftoppm")

# One kelvane run prints these three jobs, in this order. The letter is written
# over 6 s so that at least one 4 s tick sees it unfinished.
JOBS = "letter:5:6 brochure:8 brochure:6"
SLOW_LETTER, BROCHURE_8, BROCHURE_6 = 1, 2, 3


def standin_env(**settings):
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("KELVANE_STANDIN_"):
            del env[name]
    # A developer's desktop would otherwise get viewer windows to close.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env["PATH"] = STANDINS + os.pathsep + env.get("PATH", "")
    env.update(settings)
    return env


def pdf_page_count(pdf):
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True, check=True).stdout
    return int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))


def page_numbers(pdf, page):
    """The page numbers printed on one PDF page, in reading order."""
    text = subprocess.run(["pdftotext", "-f", str(page), "-l", str(page), pdf, "-"],
                          capture_output=True, text=True, check=True).stdout
    return [int(n) for n in re.findall(r"\bPage (\d+)\b", text)]


def booklet_order(pages):
    """The page order psbook gives a document as one signature: the page count
    rounded up to a multiple of four, the pages past the end left blank (None).
    Folded sheet k carries pages n-2k and 2k+1 on its outside and 2k+2 and
    n-2k-1 inside; for four pages that is psnup's documented 4,1 then 2,3."""
    n = -(-pages // 4) * 4
    order = []
    for k in range(n // 4):
        order += [n - 2 * k, 2 * k + 1, 2 * k + 2, n - 2 * k - 1]
    return [p if p <= pages else None for p in order]


def nup_sheets(order, per_sheet):
    """psnup -N puts N consecutive pages on each sheet, in rows; blank pages
    show no number."""
    return [[p for p in order[i:i + per_sheet] if p is not None]
            for i in range(0, len(order), per_sheet)]


class EndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [tool for tool in TOOLS if not shutil.which(tool)]
        if missing:
            raise RuntimeError("missing %s: install psutils, ghostscript and "
                               "poppler-utils" % ", ".join(missing))
        cls.work = tempfile.mkdtemp(prefix="kelvane-real-tools-")
        # A space in the guest path: kelvane has to quote it for the shell.
        cls.guest = os.path.join(cls.work, "guest dir")
        cls.keep = os.path.join(cls.work, "viewer")
        os.mkdir(cls.guest)
        env = standin_env(KELVANE_STANDIN_GUEST=cls.guest,
                          KELVANE_STANDIN_JOBS=JOBS,
                          KELVANE_STANDIN_KEEP=cls.keep,
                          KELVANE_STANDIN_VIEWER="none",
                          KELVANE_STANDIN_VIEWER_PAUSE="0",
                          KELVANE_STANDIN_TIMEOUT="90")
        # Whole seconds: some filesystems keep coarse modification times.
        cls.started = int(time.time())
        cls.result = subprocess.run([harness.KELVANE, cls.guest], cwd=cls.work, env=env,
                                 stdin=subprocess.DEVNULL, capture_output=True,
                                 text=True, timeout=110)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def shown(self, job):
        """The PDF the viewer was given for a job (it keeps numbered copies)."""
        pdf = os.path.join(self.keep, "job-%d.pdf" % job)
        self.assertTrue(os.path.isfile(pdf), "no PDF was shown for job %d\n%s"
                        % (job, self.transcript()))
        return pdf

    def transcript(self):
        return "--- stdout\n%s--- stderr\n%s" % (self.result.stdout, self.result.stderr)

    def test_all_jobs_run_and_kelvane_ends_with_the_emulator(self):
        self.assertEqual(self.result.returncode, 0, self.transcript())
        self.assertFalse(os.path.lexists(os.path.join(self.guest, "document", "DRUCKEN.PS")),
                         "the last print file was not deleted\n" + self.transcript())
        shown = sorted(name for name in os.listdir(self.keep) if name.endswith(".pdf"))
        self.assertEqual(shown, ["job-1.pdf", "job-2.pdf", "job-3.pdf"], self.transcript())

    def test_letter_keeps_its_pages_in_order(self):
        pdf = self.shown(SLOW_LETTER)
        self.assertEqual(pdf_page_count(pdf), 5)
        self.assertEqual([page_numbers(pdf, p) for p in range(1, 6)],
                         [[1], [2], [3], [4], [5]])

    def test_brochure_is_booked_then_three_up(self):
        for job, pages in ((BROCHURE_8, 8), (BROCHURE_6, 6)):
            with self.subTest(pages=pages):
                pdf = self.shown(job)
                sheets = nup_sheets(booklet_order(pages), 3)
                self.assertEqual(pdf_page_count(pdf), len(sheets))
                self.assertEqual([page_numbers(pdf, s) for s in range(1, len(sheets) + 1)],
                                 sheets)
        # The intermediates of the last job, a 6-page brochure: psbook pads it
        # to 8 pages, psnup -3 puts those on 3 sheets. Pages are counted by
        # their %%Page: comments because psbook turns %%Pages: into a plain
        # comment that keeps the old count.
        for path, pages in (("/tmp/book.ps", 8), ("/tmp/brochure.ps", 3)):
            self.assertTrue(os.path.isfile(path), path + " is missing")
            self.assertGreaterEqual(os.path.getmtime(path), self.started,
                                    path + " was not written by this run")
            with open(path, "rb") as ps:
                self.assertEqual(len(re.findall(rb"^%%Page: ", ps.read(), re.M)), pages, path)

    def test_a_slowly_written_job_waits_for_its_last_byte(self):
        lines = self.result.stdout.splitlines()
        converting = [i for i, line in enumerate(lines)
                      if re.match(r"\s*-\s.*\b(ps2pdf|psbook)\b", line)]
        self.assertTrue(converting, self.transcript())
        seen = [int(m.group(1)) for line in lines[:converting[0]]
                for m in [re.match(r"Zeichen (-?\d+)$", line.strip())] if m]
        self.assertTrue(seen and seen[-1] == 4,
                        "converted before the last byte arrived\n" + self.transcript())
        self.assertTrue(any(value != 4 for value in seen),
                        "no tick saw the print file unfinished\n" + self.transcript())
        self.assertEqual(pdf_page_count(self.shown(SLOW_LETTER)), 5)


class StandinBadInputTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvane-standin-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_emulator_without_guest_setting_refuses_and_writes_nothing(self):
        cwd = os.path.join(self.dir, "cwd")
        os.mkdir(cwd)
        run = subprocess.run([os.path.join(STANDINS, "dosemu"), "-X"], cwd=cwd,
                             env=standin_env(KELVANE_STANDIN_JOBS="letter"),
                             stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=20)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("KELVANE_STANDIN_GUEST", run.stderr + run.stdout)
        self.assertEqual(os.listdir(cwd), [])

    def test_viewer_rejects_missing_and_broken_pdf(self):
        keep = os.path.join(self.dir, "viewer")
        broken = os.path.join(self.dir, "broken.pdf")
        with open(broken, "wb") as pdf:
            pdf.write(b"%PDF-1.4\nthis is no PDF body\n%%EOF\n")
        env = standin_env(KELVANE_STANDIN_KEEP=keep, KELVANE_STANDIN_VIEWER="none",
                          KELVANE_STANDIN_VIEWER_PAUSE="0")
        for pdf in (os.path.join(self.dir, "missing.pdf"), broken):
            with self.subTest(pdf=os.path.basename(pdf)):
                run = subprocess.run([os.path.join(STANDINS, "xreader"), pdf], env=env,
                                     stdin=subprocess.DEVNULL, capture_output=True,
                                     text=True, timeout=20)
                self.assertNotEqual(run.returncode, 0, run.stderr)
        kept = os.listdir(keep) if os.path.isdir(keep) else []
        self.assertEqual(kept, [])


if __name__ == "__main__":
    harness.main()
