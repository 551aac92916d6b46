#!/usr/bin/env python3
"""kelvane with real viewers on one virtual X display and one D-Bus session:
the example xreader (docs/examples/xreader) running qpdfview, and the real
xreader named by $KELVANE_REAL_XREADER. The real ps2pdf converts, and the
recording emulator of tests/stubs prints one orange page. A viewer's window
must show it, the job kept while it is open and deleted once it is closed; an
xreader that returns at once must leave the job kept. usage: viewer_test.py
KELVANE. Exit status 77 (a skip) when a tool is missing, unless CI=true."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import (BANNER, STUBS, kept_lines, letter_job_lines, own_tmp, read_calls,
                     shown_and_deleted_lines, start_lines)

KELVANE = None
VERSION = os.environ.get("KELVANE_VERSION", "")
EXAMPLE_VIEWER = os.path.join(os.path.dirname(os.path.dirname(STUBS)), "docs", "examples", "xreader")
REAL_XREADER = os.environ.get("KELVANE_REAL_XREADER")
TOOLS = ("Xvfb", "qpdfview", "xdotool", "xwd", "convert", "ps2pdf") + (("dbus-run-session",) if REAL_XREADER else ())
# name: (the viewer run as xreader, its window's X class, the key that closes its window, the situation).
# In a situation the viewer returns at once without a window, so the job must be kept: "another window"
# of the bus session already shows /tmp/drucken.pdf (xreader asks it to reload the file); "no bus" to reach.
ROWS = {
    "qpdfview_shows_the_job": (EXAMPLE_VIEWER, "qpdfview", "ctrl+q", None),
    "xreader_shows_the_job": (REAL_XREADER, "xreader", "ctrl+w", None),
    "xreader_keeps_the_job_shown_elsewhere": (REAL_XREADER, "xreader", None, "another window"),
    "xreader_keeps_the_job_without_a_bus": (REAL_XREADER, "xreader", None, "no bus"),
}
RETURNED_AT_ONCE = ("The viewer returned within a second of starting, so kelvane cannot tell that anyone saw the job",
                    "Another window showing /tmp/drucken.pdf may have taken the file, or the session bus at"
                    " DBUS_SESSION_BUS_ADDRESS does not answer: close that window or check the bus, then print the job"
                    " again.")
# A page filled with a colour that nothing else on the screen has: pure orange.
SCENARIO = r"""
printf 0 > userdata/DRUCKEN.CFG
{ printf '%%!PS-Adobe-3.0\n%%%%Pages: 1\n%%%%Page: 1 1\n'
  printf '1 0.5 0 setrgbcolor 36 36 540 720 rectfill\nshowpage\n%%%%EOF\n\004'; } > document/DRUCKEN.PS.part
mv document/DRUCKEN.PS.part document/DRUCKEN.PS
# Ends the emulator once the job is gone or kelvane (its output in ../stdout) keeps it; gives up after
# some 4 minutes.
n=0; while [ -e document/DRUCKEN.PS ] && ! grep -qs "the print file is kept" ../stdout \
           && [ $((n += 1)) -le 2400 ]; do sleep 0.1; done
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
    @classmethod
    def setUpClass(cls):
        cls.session = tempfile.mkdtemp(prefix="kelvane-viewer-")
        cls.addClassCleanup(shutil.rmtree, cls.session, ignore_errors=True)
        for name in ("home", "run"):
            os.mkdir(os.path.join(cls.session, name), 0o700)
        # The virtual display, on the first free number; Xvfb writes it to the pipe.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=[write_end], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        cls.addClassCleanup(cls.stop, xvfb)
        with os.fdopen(read_end) as pipe:
            cls.display = ":" + pipe.readline().strip()
        cls.env = dict(os.environ, DISPLAY=cls.display, HOME=os.path.join(cls.session, "home"),
                       XDG_RUNTIME_DIR=os.path.join(cls.session, "run"), NO_AT_BRIDGE="1", QT_QPA_PLATFORM="xcb")
        cls.env.pop("WAYLAND_DISPLAY", None)
        if REAL_XREADER:
            # Its share/ first: xreader's settings schemas are there, and the bus's file for its daemon.
            cls.env["XDG_DATA_DIRS"] = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(
                REAL_XREADER))), "share") + ":" + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share")
            bus = subprocess.Popen(["dbus-run-session", "--", "sh", "-c", 'echo "$DBUS_SESSION_BUS_ADDRESS"; '
                                    'exec sleep 100000'], env=cls.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
            cls.addClassCleanup(cls.stop, bus)
            with bus.stdout:
                cls.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()

    def setUp(self):
        self.assertTrue(self.display[1:].isdigit(), "Xvfb gave no display number")
        self.root = tempfile.mkdtemp(dir=self.session)
        # The emulator stand-in; the viewer is the row's, the converters are the system's.
        self.bin = os.path.join(self.root, "bin")
        os.mkdir(self.bin)
        for tool in ("dosemu", "record"):
            os.symlink(os.path.join(STUBS, tool), os.path.join(self.bin, tool))

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

    def check(self, viewer, window_class, close_key, situation):
        if not viewer:
            self.skipTest("no real xreader: KELVANE_REAL_XREADER names none (.ci/run builds one)")
        shutil.copy(viewer, os.path.join(self.bin, "xreader"))
        os.chmod(os.path.join(self.bin, "xreader"), 0o755)
        guest = os.path.join(self.root, "guest")
        for folder in ("document", "userdata"):
            os.makedirs(os.path.join(guest, folder))
        ps = guest + "/document/DRUCKEN.PS"
        with open(os.path.join(self.root, "guest.sh"), "w") as f:
            f.write(SCENARIO)
        env = dict(self.env, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   KELVANE_TEST_RECORD=os.path.join(self.root, "record"),
                   KELVANE_TEST_GUEST=os.path.join(self.root, "guest.sh"), KELVANE_TEST_DIR=guest)
        if situation == "no bus":
            # A dead address, so that no dbus-launch on PATH starts a bus in its place.
            env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(self.root, "no-bus")
        if situation == "another window":
            subprocess.run(["ps2pdf", "-", "/tmp/drucken.pdf"], input=b"showpage\n", check=True)
            other = subprocess.Popen([viewer, "/tmp/drucken.pdf"], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
            self.addCleanup(self.stop, other)
            self.assertTrue(self.windows(window_class, env), "the other window did not open")
        with open(os.path.join(self.root, "stdout"), "wb") as out, \
                open(os.path.join(self.root, "stderr"), "wb") as err:
            # A session of its own, so that the teardown takes the viewer along.
            kelvane = subprocess.Popen([KELVANE, guest], cwd=self.root, env=env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, start_new_session=True)
        self.addCleanup(self.stop, kelvane)
        shown = BANNER.format(VERSION) + "\n".join(start_lines(guest, left=False) + [
            "Found file to print",
            "Zeichen 4",
            "Found config file. Configuration 0",
        ] + letter_job_lines(ps) + shown_and_deleted_lines(ps)) + "\n"
        if not situation:
            self.show_until_closed(kelvane, ps, shown, window_class, close_key, env)
        try:
            status = kelvane.wait(timeout=90)
        except subprocess.TimeoutExpired:
            self.fail("kelvane did not end within 90 s" + self.said())
        self.assertEqual(status, 0, self.said())
        if situation:
            self.assertTrue(self.read("stdout").endswith("\n".join(kept_lines(RETURNED_AT_ONCE[0], ps, True)
                                                                  + [RETURNED_AT_ONCE[1], ""])), self.said())
            self.assertTrue(os.path.exists(ps), "the print file was not kept" + self.said())
        else:
            self.assertFalse(os.path.exists(ps), "the print file was not deleted" + self.said())
            self.assertEqual(self.read("stdout"), shown, self.said())
        self.assertEqual(read_calls(env["KELVANE_TEST_RECORD"]), [("dosemu", ["-X"])])

    def windows(self, window_class, env):
        try:
            return subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--class", window_class],
                                  env=env, capture_output=True, text=True, timeout=90).stdout.split()
        except subprocess.TimeoutExpired:
            return []

    def show_until_closed(self, kelvane, ps, shown, window_class, close_key, env):
        found = self.windows(window_class, env)
        self.assertTrue(found, "no %s window within 90 s%s" % (window_class, self.said()))
        deadline, orange = time.monotonic() + 60, 0
        while orange < ENOUGH_ORANGE and time.monotonic() < deadline:
            time.sleep(0.5)
            orange = orange_pixels(self.display)
        print("orange pixels on screen: %d" % orange)
        self.assertGreaterEqual(orange, ENOUGH_ORANGE, "the page is not on screen" + self.said())

        # The window is open: kelvane waits for it and keeps the print file.
        self.assertIsNone(kelvane.poll(), "kelvane did not wait for the viewer" + self.said())
        self.assertTrue(os.path.exists(ps), "the print file went while it was shown" + self.said())
        self.assertEqual(self.read("stdout"), shown[:shown.index("Delete original PS file:")], self.said())
        # Closed as a user closes it; qpdfview ignores xdotool's windowclose.
        subprocess.run(["xdotool", "windowfocus", "--sync", found[0], "key", close_key], env=env, check=True,
                       timeout=30)


for name, row in ROWS.items():
    setattr(ViewerTest, "test_" + name, lambda self, row=row: self.check(*row))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: %s KELVANE [unittest arguments]" % sys.argv[0])
    KELVANE = os.path.abspath(sys.argv.pop(1))
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        why = "missing: %s (Debian packages xvfb, qpdfview, xdotool, x11-apps, imagemagick, ghostscript, " \
              "dbus-daemon)" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            sys.exit("FAIL: " + why)
        print("SKIP: " + why)
        sys.exit(77)
    own_tmp.enter_or_say(os.path.dirname(os.path.abspath(__file__)), KELVANE)
    unittest.main(verbosity=2)
