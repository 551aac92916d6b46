#!/usr/bin/env python3
"""kelvane with a real viewer: the example xreader (docs/examples/xreader) runs
qpdfview on a virtual X display, the real ps2pdf converts, and the recording
emulator of tests/stubs plays a guest that prints one orange page. The page
must be on screen, the job kept while the window is open, and deleted once it
is closed. usage: viewer_test.py KELVANE. Exit status 77 (a skip) when a tool
is missing, unless CI=true."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_test import (BANNER, STUBS, letter_job_lines, own_tmp, read_calls, shown_and_deleted_lines,
                      start_lines)

KELVANE = None
VERSION = os.environ.get("KELVANE_VERSION", "")
EXAMPLE_VIEWER = os.path.join(os.path.dirname(os.path.dirname(STUBS)), "docs", "examples", "xreader")
TOOLS = ("Xvfb", "qpdfview", "xdotool", "xwd", "convert", "ps2pdf")
# A page filled with a colour that nothing else on the screen has: pure orange.
SCENARIO = r"""
printf 0 > userdata/DRUCKEN.CFG
{ printf '%%!PS-Adobe-3.0\n%%%%Pages: 1\n%%%%Page: 1 1\n'
  printf '1 0.5 0 setrgbcolor 36 36 540 720 rectfill\nshowpage\n%%%%EOF\n\004'; } > document/DRUCKEN.PS.part
mv document/DRUCKEN.PS.part document/DRUCKEN.PS
# Ends the emulator once the job is gone; gives up after some 4 minutes.
n=0; while [ -e document/DRUCKEN.PS ] && [ $((n += 1)) -le 2400 ]; do sleep 0.1; done
"""
# Some 200 x 200 pixels of the page; the window shows several times that.
ENOUGH_ORANGE = 40000


def orange_pixels(display):
    """How many pixels of the screen are orange, give or take antialiasing."""
    shot = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True, check=True).stdout
    rgb = subprocess.run(["convert", "xwd:-", "-depth", "8", "rgb:-"], input=shot, capture_output=True,
                         check=True).stdout
    return sum(1 for r, g, b in zip(rgb[0::3], rgb[1::3], rgb[2::3]) if r >= 215 and 88 <= g <= 168 and b <= 40)


class ViewerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kelvane-viewer-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        # The virtual display, on the first free number; Xvfb writes it to the pipe.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=[write_end], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        self.addCleanup(self.stop, xvfb)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        self.assertTrue(number.isdigit(), "Xvfb gave no display number")
        self.display = ":" + number
        # The emulator stand-in and the example viewer; the converters are the system's.
        self.bin = os.path.join(self.root, "bin")
        os.mkdir(self.bin)
        for tool in ("dosemu", "record"):
            os.symlink(os.path.join(STUBS, tool), os.path.join(self.bin, tool))
        shutil.copy(EXAMPLE_VIEWER, os.path.join(self.bin, "xreader"))
        os.chmod(os.path.join(self.bin, "xreader"), 0o755)
        for name in ("home", "run"):
            os.mkdir(os.path.join(self.root, name), 0o700)

    @staticmethod
    def stop(process):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()

    def read(self, name):
        with open(os.path.join(self.root, name), errors="replace") as f:
            return f.read()

    def said(self):
        return "\n--- stdout\n%s--- stderr\n%s" % (self.read("stdout"), self.read("stderr"))

    def test_job_shown_until_the_window_is_closed(self):
        guest = os.path.join(self.root, "guest")
        for folder in ("document", "userdata"):
            os.makedirs(os.path.join(guest, folder))
        ps = guest + "/document/DRUCKEN.PS"
        with open(os.path.join(self.root, "guest.sh"), "w") as f:
            f.write(SCENARIO)
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"], DISPLAY=self.display,
                   HOME=os.path.join(self.root, "home"), XDG_RUNTIME_DIR=os.path.join(self.root, "run"),
                   NO_AT_BRIDGE="1", QT_QPA_PLATFORM="xcb", KELVANE_TEST_RECORD=os.path.join(self.root, "record"),
                   KELVANE_TEST_GUEST=os.path.join(self.root, "guest.sh"), KELVANE_TEST_DIR=guest)
        env.pop("WAYLAND_DISPLAY", None)
        with open(os.path.join(self.root, "stdout"), "wb") as out, \
                open(os.path.join(self.root, "stderr"), "wb") as err:
            # A session of its own, so that the teardown takes the viewer along.
            kelvane = subprocess.Popen([KELVANE, guest], cwd=self.root, env=env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, start_new_session=True)
        self.addCleanup(self.stop, kelvane)

        try:
            found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", "qpdfview"],
                                   env=env, capture_output=True, text=True, timeout=90).stdout.split()
        except subprocess.TimeoutExpired:
            found = []
        self.assertTrue(found, "no qpdfview window within 90 s" + self.said())
        window = found[0]
        deadline, orange = time.monotonic() + 60, 0
        while orange < ENOUGH_ORANGE and time.monotonic() < deadline:
            time.sleep(0.5)
            orange = orange_pixels(self.display)
        print("orange pixels on screen: %d" % orange)
        self.assertGreaterEqual(orange, ENOUGH_ORANGE, "the page is not on screen" + self.said())

        # The window is open: kelvane waits for it and keeps the print file.
        shown = BANNER.format(VERSION) + "\n".join(start_lines(guest) + [
            "Found file to print",
            "Zeichen 4",
            "Found config file. Configuration 0",
        ] + letter_job_lines(ps) + shown_and_deleted_lines(ps)) + "\n"
        self.assertIsNone(kelvane.poll(), "kelvane did not wait for the viewer" + self.said())
        self.assertTrue(os.path.exists(ps), "the print file went while it was shown" + self.said())
        self.assertEqual(self.read("stdout"), shown[:shown.index("Delete original PS file:")], self.said())

        # Closed as a user closes it; qpdfview ignores xdotool's windowclose.
        subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "ctrl+q"], env=env, check=True,
                       timeout=30)
        try:
            status = kelvane.wait(timeout=90)
        except subprocess.TimeoutExpired:
            self.fail("kelvane did not end within 90 s of the window's closing" + self.said())
        self.assertEqual(status, 0, self.said())
        self.assertFalse(os.path.exists(ps), "the print file was not deleted" + self.said())
        self.assertEqual(self.read("stdout"), shown, self.said())
        self.assertEqual(read_calls(env["KELVANE_TEST_RECORD"]), [("dosemu", ["-X"])])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: %s KELVANE [unittest arguments]" % sys.argv[0])
    KELVANE = os.path.abspath(sys.argv.pop(1))
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        why = "missing: %s (Debian packages xvfb, qpdfview, xdotool, x11-apps, imagemagick, ghostscript)" % (
            ", ".join(missing))
        if os.environ.get("CI") == "true":
            sys.exit("FAIL: " + why)
        print("SKIP: " + why)
        sys.exit(77)
    own_tmp.enter_or_say(os.path.dirname(os.path.abspath(__file__)), KELVANE)
    unittest.main(verbosity=2)
