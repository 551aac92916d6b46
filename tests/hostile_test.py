#!/usr/bin/env python3
"""Hostile files and places, end to end, run as tests/harness.py runs
kelvane, with a case's own slow stand-ins where it needs a slow converter or
viewer. Usage:

    hostile_test.py KELVANE [unittest arguments]

Cases that let a conversion run or that put things at /tmp/book.ps,
/tmp/brochure.ps or /tmp/drucken.pdf move whatever stands there aside first
and put it back afterwards, for where the run has no /tmp of its own and CTest
runs those cases one at a time.
"""

import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

import harness
from harness import (KelvaneCase, book_job_lines, found, kept_lines, letter_job_lines, main,
                     shown_and_deleted_lines, start_lines)

INTERMEDIATES = ("/tmp/book.ps", "/tmp/brochure.ps", "/tmp/drucken.pdf")
NOBODY = 65534
IS_ROOT = os.geteuid() == 0

# Stand-ins for a conversion and a viewer that take their time: while the
# marker file slow-TOOL exists, the tool records its call, says it is busy
# (busy-TOOL) and waits up to 20 s, or until done-TOOL exists; SIGINT ends it
# with 130, after it has written its name to "interrupted"; SIGTERM only has
# it write its name to "terminated". Then, and without
# the marker, they behave like tests/stubs; the viewer adds what it shows, as
# it is when it is closed, to "shown".
SLOW_TOOL = r"""#!/bin/sh
tool=$(basename "$0")
"$KELVANE_TEST_STUBS/record" "$tool" "$@"
if [ -e "$KELVANE_TEST_ROOT/slow-$tool" ]; then
  /bin/rm -f "$KELVANE_TEST_ROOT/slow-$tool"
  trap 'echo "$tool" >> "$KELVANE_TEST_ROOT/interrupted"; exit 130' INT
  trap 'echo "$tool" >> "$KELVANE_TEST_ROOT/terminated"' TERM  # and goes on
  touch "$KELVANE_TEST_ROOT/busy-$tool"
  i=0; while [ $i -lt 200 ] && ! [ -e "$KELVANE_TEST_ROOT/done-$tool" ]; do sleep 0.1; i=$((i + 1)); done
fi
case $tool in
  xreader) cat -- "$1" >> "$KELVANE_TEST_ROOT/shown"; sleep 1.5 ;;  # as long as a person looks
  *) exec cp -- "$1" "$2" ;;
esac
"""


def refused(path, ps):
    return (["", "Not writing through %s: it is not a plain file of your own" % path]
            + kept_lines("The conversion failed", ps))


def describe(path):
    """What stands at `path`, without following a symbolic link."""
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return None
    if stat.S_ISLNK(status.st_mode):
        return ("link", os.readlink(path))
    if stat.S_ISREG(status.st_mode):
        with open(path, "rb") as f:
            return ("file", status.st_uid, status.st_ino, f.read())
    return (stat.S_IFMT(status.st_mode), status.st_uid, status.st_ino)


class HostileTest(KelvaneCase):
    saved = None  # where the fixed /tmp paths' files wait meanwhile

    def tearDown(self):
        super().tearDown()  # first the run's processes, which might still write there
        if self.saved is not None:
            self.restore_intermediates()

    # -- the fixed intermediate paths under /tmp, moved aside and put back --

    def take_intermediates(self):
        self.saved = tempfile.mkdtemp(prefix="kelvane-hostile-saved-", dir="/tmp")
        for path in INTERMEDIATES:
            if os.path.lexists(path):
                try:
                    os.rename(path, os.path.join(self.saved, os.path.basename(path)))
                except PermissionError:
                    self.restore_intermediates()
                    self.skipTest(path + " belongs to another user and cannot be moved aside")

    def restore_intermediates(self):
        for path in INTERMEDIATES:
            if os.path.lexists(path):
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
            saved = os.path.join(self.saved, os.path.basename(path))
            if os.path.lexists(saved):
                os.rename(saved, path)
        os.rmdir(self.saved)
        self.saved = None

    # -- one run --

    def slow_stand_ins(self):
        os.makedirs(self.stubs, exist_ok=True)
        for tool in ("ps2pdf", "xreader"):
            path = os.path.join(self.stubs, tool)
            with open(path, "w") as f:
                f.write(SLOW_TOOL)
            os.chmod(path, 0o755)

    def start(self, directory, scenario, **options):
        if self.saved is None:
            # A case that does not hold the fixed /tmp paths expects no
            # conversion; should one run all the same, its stand-ins fail
            # before they write anything there.
            for tool in ("psbook", "psnup", "ps2pdf"):
                self.marker("fail-" + tool)
        return super().start(directory, scenario, **options)

    # -- the cases --

    def refused_intermediates(self, hostile, first, second):
        """Two jobs, each refused at one hostile intermediate path: no viewer,
        the print file kept and left alone for a whole tick, then taken up
        again once it changed. `first` and `second` are (layout, path of the
        refusal, tools run before it); `hostile` maps paths to makers."""
        self.take_intermediates()
        elsewhere = os.path.join(self.root, "elsewhere")
        os.makedirs(elsewhere)
        for path, make in hostile.items():
            make(path, elsewhere)
        before = {path: describe(path) for path in INTERMEDIATES}
        targets = {name: describe(os.path.join(elsewhere, name)) for name in os.listdir(elsewhere)}

        directory = self.make_guest()
        ps = directory + "/document/DRUCKEN.PS"
        run = self.run_kelvane(directory, r"""
print_job {0}; complete_job
wait_output "The conversion failed; the print file is kept: {2}"
sleep 4.5  # a whole tick passes; the kept job is left alone
printf {1} > userdata/DRUCKEN.CFG; change_job
wait_output "The conversion failed; the print file is kept: {2}" 2
""".format(first[0], second[0], ps))

        lines = []
        for layout, path, tools in (first, second):
            lines += found(4, layout) + ["Book print" if layout else "Letter print"]
            if "psbook" in tools:
                lines += ["Convert PS file to a book file:", "   - psbook %s /tmp/book.ps" % ps]
            lines += refused(path, ps)
        self.assertEqual(run.stdout, self.transcript(directory, lines))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertEqual(self.tools(run), ["rm", "dosemu"] + first[2] + second[2])
        with open(ps, "rb") as f:
            self.assertTrue(f.read().endswith(b"again\n\x04"), "the print file was not kept")
        self.assertEqual({path: describe(path) for path in INTERMEDIATES if path in hostile},
                         {path: before[path] for path in hostile}, "a fixed path was changed")
        self.assertEqual({name: describe(os.path.join(elsewhere, name)) for name in os.listdir(elsewhere)},
                         targets, "something was written through a fixed path")

    def test_intermediate_not_a_plain_file(self):
        """/tmp/drucken.pdf a symbolic link to a file elsewhere, /tmp/brochure.ps a FIFO
        (a converter writing into it would wait for a reader for ever)."""
        def link(path, elsewhere):
            target = os.path.join(elsewhere, os.path.basename(path))
            with open(target, "wb") as f:
                f.write(b"not to be overwritten")
            os.symlink(target, path)

        self.refused_intermediates(
            {"/tmp/drucken.pdf": link, "/tmp/brochure.ps": lambda path, _: os.mkfifo(path, 0o600)},
            (0, "/tmp/drucken.pdf", []), (1, "/tmp/brochure.ps", ["psbook"]))

    @unittest.skipUnless(IS_ROOT, "giving a file to another user takes root")
    def test_intermediate_of_another_user(self):
        """/tmp/book.ps and /tmp/drucken.pdf plain files of another user (nobody)."""
        def theirs(path, _):
            with open(path, "wb") as f:
                f.write(b"belongs to nobody")
            os.chown(path, NOBODY, NOBODY)
            os.chmod(path, 0o666)  # even writable for all: still not ours

        self.refused_intermediates({"/tmp/book.ps": theirs, "/tmp/drucken.pdf": theirs},
                                   (1, "/tmp/book.ps", []), (0, "/tmp/drucken.pdf", []))

    def test_print_file_is_a_symlink(self):
        """Deleting a job that is a symbolic link deletes the link, never the
        file it points to: at start and after the job."""
        self.take_intermediates()
        directory = self.make_guest()
        ps = directory + "/document/DRUCKEN.PS"
        elsewhere = os.path.join(self.root, "elsewhere")
        os.makedirs(elsewhere)
        for name, contents in (("stale.ps", b"stale\n\x04"), ("job.ps", b"%!PS\nshowpage\n\x04")):
            with open(os.path.join(elsewhere, name), "wb") as f:
                f.write(contents)
        os.remove(ps)
        os.symlink(os.path.join(elsewhere, "stale.ps"), ps)
        run = self.run_kelvane(directory, r"""
[ -e "$KELVANE_TEST_ROOT/elsewhere/stale.ps" ] && ! [ -L document/DRUCKEN.PS ] && echo ok > "$KELVANE_TEST_ROOT/start-ok"
printf 0 > userdata/DRUCKEN.CFG
ln -s "$KELVANE_TEST_ROOT/elsewhere/job.ps" document/DRUCKEN.PS
wait_deleted
""")
        self.assertEqual(run.stdout, self.transcript(
            directory, found(4, 0) + letter_job_lines(ps) + shown_and_deleted_lines(ps)))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertEqual(self.read("start-ok"), "ok\n", "the start's rm did not delete just the link")
        self.assertFalse(os.path.lexists(ps))
        self.assertEqual(describe(os.path.join(elsewhere, "stale.ps"))[3], b"stale\n\x04")
        self.assertEqual(describe(os.path.join(elsewhere, "job.ps"))[3], b"%!PS\nshowpage\n\x04")
        with open("/tmp/drucken.pdf", "rb") as f:
            self.assertEqual(f.read(), b"%!PS\nshowpage\n\x04", "the job was not converted from the link's file")

    def test_print_file_not_regular(self):
        """A directory, then a FIFO that nobody writes to, at the print file's
        place: found, no byte (-1), nothing converted, no hang."""
        directory = self.make_guest()
        run = self.run_kelvane(directory, r"""
mkdir document/DRUCKEN.PS; wait_output "Zeichen -1" 1; rmdir document/DRUCKEN.PS
mkfifo document/DRUCKEN.PS; wait_output "Zeichen -1" 2; /bin/rm document/DRUCKEN.PS
""")
        self.assertEqual(run.stdout, self.transcript(directory, found(-1) + found(-1)))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertEqual(self.tools(run), ["rm", "dosemu"])

    def other_user(self, directory):
        """Root runs kelvane as nobody, whom file modes bind; None for anyone else."""
        if not IS_ROOT:
            return None
        # The checkout may lie where nobody cannot go (under /root, say).
        probe = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                 "sh", "-c", 'test -x "$1" && test -x "$2"', "probe", harness.KELVANE, os.path.join(harness.STUBS, "dosemu")]
        if subprocess.run(probe).returncode != 0:
            self.skipTest("user nobody cannot run the build from where it lies")
        for path in (self.root, directory, directory + "/document", directory + "/userdata"):
            os.chmod(path, 0o777)
        os.chmod(directory + "/document/DRUCKEN.PS", 0o666)
        return NOBODY

    @unittest.skipUnless(not IS_ROOT or shutil.which("setpriv"), "root's rm never asks")
    def test_write_protected_print_file_on_a_terminal(self):
        """On a terminal rm asks before it removes a write-protected print file
        (a DOS read-only file): no command of kelvane's waits for that answer."""
        self.take_intermediates()
        directory = self.make_guest()
        user = self.other_user(directory)
        terminal, guest_side = os.openpty()
        self.addCleanup(os.close, terminal)
        run = self.run_kelvane(directory, "printf 'x\\004' > document/DRUCKEN.PS; chmod 444 document/DRUCKEN.PS;"
                               " wait_deleted\n", user=user, stdin=guest_side)
        os.close(guest_side)
        self.assertEqual((run.status, self.tools(run)), (0, ["rm", "dosemu", "ps2pdf", "xreader", "rm"]))

    @unittest.skipUnless(not IS_ROOT or shutil.which("setpriv"), "root without setpriv reads any file")
    def test_print_file_unreadable(self):
        """A complete print file of mode 000: silence while it cannot be read
        (root runs kelvane as nobody for this), found again once readable."""
        directory = self.make_guest()
        user = self.other_user(directory)
        run = self.run_kelvane(directory, r"""
printf 'x\004' > document/DRUCKEN.PS; chmod 000 document/DRUCKEN.PS
sleep 8.5  # two ticks pass
chmod 600 document/DRUCKEN.PS; printf y >> document/DRUCKEN.PS
wait_output "Zeichen 121"; /bin/rm document/DRUCKEN.PS
""", user=user)
        self.assertEqual(run.stdout, self.transcript(directory, found(ord("y"))))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertEqual(self.tools(run), ["rm", "dosemu"])

    @unittest.skipUnless(not IS_ROOT or shutil.which("setpriv"), "root removes any file")
    def test_leftover_that_rm_cannot_remove(self):
        """A complete leftover in a folder kelvane cannot write: said before the emulator starts, never "removed"."""
        directory = self.make_guest()
        user = self.other_user(directory)
        os.chmod(directory + "/document", 0o555 if user else 0o500)
        run = self.run_kelvane(directory, "exit 0\n", user=user)
        os.chmod(directory + "/document", 0o755)
        start = start_lines(directory)
        self.assertEqual(run.stdout.split("\n")[6:15], start[2:5] + ["", "The print file is still there after rm; it is"
                         " a job like any other now, shown at the first look once complete: " + start[0][17:]]
                         + start[5:] + found(4))

    def test_print_file_growing(self):
        """A sparse print file that grows by a gigabyte every few microseconds,
        and now and then shrinks to one byte, while the ticks check it: each
        tick reads one byte (a hole's 0, the first byte 'x', or none), no
        conversion, no hang."""
        directory = self.make_guest()
        run = self.run_kelvane(directory, r"""
python3 - <<'EOF'
import os, time
fd = os.open("document/DRUCKEN.PS", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
os.write(fd, b"x")
size, grown, end = 1, 0, time.monotonic() + 9
while time.monotonic() < end:
    size = size + (1 << 30) if size < (256 << 30) else 1
    os.ftruncate(fd, size)
    grown += 1
with open(os.path.join(os.environ["KELVANE_TEST_ROOT"], "grown"), "w") as f:
    f.write(str(grown))
EOF
/bin/rm document/DRUCKEN.PS
""")
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertEqual(self.tools(run), ["rm", "dosemu"])
        lines = run.stdout.split("\n")[len(self.transcript(directory, []).split("\n")) - 1:-1]
        self.assertIn(len(lines), (4, 6), run.stdout)  # two ticks, three on a slow start
        for tick in range(0, len(lines), 2):
            self.assertEqual(lines[tick], "Found file to print")
            self.assertIn(lines[tick + 1], ("Zeichen 0", "Zeichen 120", "Zeichen -1"))
        self.assertGreater(int(self.read("grown")), 1000, "the file hardly grew")

    def test_layout_file_hostile(self):
        """At most five bytes of a layout file are read, whatever it is; the
        guest ends right after the tick that reads it, so nothing is converted."""
        cases = [
            # name, maker of the layout file (shell), configuration reported,
            # bytes left in the FIFO afterwards
            ("8 GiB, sparse", "printf 12345678 > userdata/DRUCKEN.CFG; truncate -s 8G userdata/DRUCKEN.CFG",
             12345, None),
            ("binary", r"printf '\t-42\000\377\376\001' > userdata/DRUCKEN.CFG", -42, None),
            ("directory", "rm -f userdata/DRUCKEN.CFG; mkdir userdata/DRUCKEN.CFG", 0, None),
            ("FIFO, no writer", "rm -f userdata/DRUCKEN.CFG; mkfifo userdata/DRUCKEN.CFG", 0, None),
            # A writer that put 4096 bytes in and keeps the FIFO open; after
            # the tick it tells how many bytes are still in the pipe.
            ("FIFO, writer with more", r"""rm -f userdata/DRUCKEN.CFG; mkfifo userdata/DRUCKEN.CFG
python3 - <<'EOF' &
import fcntl, os, struct, termios, time
fd = os.open("userdata/DRUCKEN.CFG", os.O_RDWR)
os.write(fd, b"3" * 4096)
open("writer-ready", "w").close()
while not os.path.exists("writer-stop"):
    time.sleep(0.05)
left = struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
with open(os.path.join(os.environ["KELVANE_TEST_ROOT"], "left-in-fifo"), "w") as f:
    f.write(str(left))
EOF
until [ -e writer-ready ]; do sleep 0.05; done""", 33333, 4096 - 5),
        ]
        strace = shutil.which("strace")
        for name, make, layout, left in cases:
            with self.subTest(name):
                self.next_row()  # a fresh directory, process group and trace for each
                directory = self.make_guest()
                prefix = []
                if strace:
                    prefix = [strace, "-qq", "-y", "-e", "trace=openat,read", "-o",
                              os.path.join(self.root, "trace")]
                run = self.run_kelvane(directory, make + r"""
printf 'x\004' > document/DRUCKEN.PS
wait_output "Found config file. Configuration %d"
touch writer-stop; wait; /bin/rm document/DRUCKEN.PS
""" % layout, prefix=prefix, timeout=40)
                self.assertEqual(run.stdout, self.transcript(directory, found(4, layout)))
                self.assertEqual(run.status, 0)
                self.assertLess(run.elapsed, 15)
                if left is not None:
                    self.assertEqual(self.read("left-in-fifo"), str(left))
                if strace:
                    reads, got = self.layout_reads()
                    self.assertGreaterEqual(reads, 1, "strace saw no read of the layout file")
                    self.assertLessEqual(got, 5)

    def layout_reads(self):
        """How many reads of the layout file strace -y saw, each asking for at
        most 5 bytes, and how many bytes they got."""
        reads = total = 0
        for line in self.read("trace").splitlines():
            if line.startswith("read(") and "/userdata/DRUCKEN.CFG>" in line:
                asked = int(line.rsplit(",", 1)[1].split(")")[0])
                self.assertLessEqual(asked, 5, line)
                result = line.rsplit("= ", 1)[1].split()[0]
                total += max(int(result), 0)
                reads += 1
        return reads, total

    def test_interrupt_reaches_the_command(self):
        """Ctrl-C at the terminal during a long conversion and while the viewer
        is open: the command gets SIGINT and ends; kelvane keeps the print file
        each time (a failed conversion, a viewer ended by a signal) and ends
        with 0 when the emulator does."""
        self.take_intermediates()
        self.slow_stand_ins()
        for tool in ("ps2pdf", "xreader"):
            self.marker("slow-" + tool)
        directory = self.make_guest()
        ps = directory + "/document/DRUCKEN.PS"
        viewer_ended = kept_lines("The viewer did not start or was ended by a signal", ps, pdf_made=True)
        process = self.start(directory, r"""
trap 'echo guest >> "$KELVANE_TEST_ROOT/interrupted"' INT  # the emulator has its own use for Ctrl-C
print_job 0; complete_job
wait_output "The conversion failed; the print file is kept: %s"
change_job; wait_output "%s"; exit 0  # as an emulator that goes on after Ctrl-C ends
""" % (ps, viewer_ended[1]))
        for tool in ("ps2pdf", "xreader"):
            busy = os.path.join(self.root, "busy-" + tool)
            deadline = time.monotonic() + 30
            while not os.path.exists(busy) and time.monotonic() < deadline and process.poll() is None:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(busy), tool + " never started")
            os.killpg(self.group, signal.SIGINT)
        run = self.finish(process)
        self.assertEqual(run.stdout, self.transcript(
            directory, found(4, 0) + letter_job_lines(ps) + kept_lines("The conversion failed", ps)
            + found(4, 0) + letter_job_lines(ps) + shown_and_deleted_lines(ps)[:2] + viewer_ended))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        # The converter, the viewer and the emulator's guest each got it.
        self.assertEqual(sorted(self.read("interrupted").split()), ["guest", "guest", "ps2pdf", "xreader"])
        self.assertEqual(self.tools(run), ["rm", "dosemu", "ps2pdf", "ps2pdf", "xreader"])
        self.assertTrue(os.path.exists(ps), "the print file was not kept")

    def test_print_file_changes_under_the_watcher(self):
        """A stale job that rm takes its time to remove is not printed; a job
        replaced after it was found, or while it was converted, is looked at
        anew; one printed while the last is shown is kept, not deleted, and
        printed next: here it is complete only as the emulator ends."""
        self.take_intermediates()
        self.slow_stand_ins()
        for marker in ("slow-rm", "slow-ps2pdf", "slow-xreader"):
            self.marker(marker)
        directory = self.make_guest()
        ps = directory + "/document/DRUCKEN.PS"
        run = self.run_kelvane(directory, r"""
print_job 0; complete_job; wait_output "Found config file. Configuration 0"
print_job 0; wait_output "Zeichen 10"; complete_job
wait_busy ps2pdf; print_job 1; touch "$KELVANE_TEST_ROOT/done-ps2pdf"
wait_output "Zeichen 10" 2; complete_job
wait_output "   - xreader /tmp/drucken.pdf"; print_job 0; touch "$KELVANE_TEST_ROOT/done-xreader"
wait_output "Zeichen 10" 3; complete_job
""")
        self.assertEqual(run.stdout, self.transcript(directory, found(4, 0) + [
            "", "The print file changed after it was found complete; it is looked at anew: " + ps,
        ] + found(10) + found(4, 0) + letter_job_lines(ps) + [
            "", "The print file changed while it was converted; it is looked at anew: " + ps,
        ] + found(10) + found(4, 1) + book_job_lines(ps) + shown_and_deleted_lines(ps)[:2] + [
            "", "The print file changed while the job was shown; it is kept as a new job: " + ps,
        ] + found(10) + found(4, 0) + letter_job_lines(ps) + shown_and_deleted_lines(ps)))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertFalse(os.path.lexists(ps))

    def test_two_sessions_take_turns(self):
        """A second session's job waits while the first one's viewer is open,
        then is shown: each viewer shows its own job to the end, also when the
        first session is killed outright while its viewer is open."""
        for killed in (False, True):
            with self.subTest(killed=killed):
                self.next_row()  # a fresh directory and process group for each
                self.take_intermediates()
                self.slow_stand_ins()
                self.marker("slow-xreader")
                directory, other = self.make_guest(), self.make_guest("other")
                with open(os.path.join(self.root, "guest-other.sh"), "w") as f:
                    f.write(harness.GUEST_LIBRARY + "printf 'B\\004' > document/DRUCKEN.PS; wait_deleted\n")
                waiting = ("/tmp is locked, most likely by another kelvane session converting or showing a job;"
                           " this one waits its turn: " + other + "/document/DRUCKEN.PS")
                process = self.start(directory, r"""
printf 'A\004' > document/DRUCKEN.PS; wait_busy xreader
KELVANE_TEST_DIR="$KELVANE_TEST_ROOT/other" KELVANE_TEST_GUEST="$KELVANE_TEST_ROOT/guest-other.sh" \
  "$KELVANE_TEST_KELVANE" "$KELVANE_TEST_ROOT/other" > "$KELVANE_TEST_ROOT/other-stdout" &
KELVANE_TEST_OUTPUT="$KELVANE_TEST_ROOT/other-stdout" wait_output "%s"
%s
touch "$KELVANE_TEST_ROOT/done-xreader"; wait $!; echo $? > "$KELVANE_TEST_ROOT/other-status"
""" % (waiting, "kill -9 $PPID; sleep 4.5  # the other session ticks meanwhile" if killed else ""))
                while not self.read("other-status") and time.monotonic() < self.run_deadline:
                    time.sleep(0.1)  # killed, this session leaves its guest running
                run = self.finish(process)
                self.assertEqual(self.read("shown"), "A\x04B\x04")
                ps = directory + "/document/DRUCKEN.PS"
                self.assertEqual(run.stdout, self.transcript(directory, found(4) + letter_job_lines(ps) + (
                    shown_and_deleted_lines(ps)[:2] if killed else shown_and_deleted_lines(ps))))
                ps = other + "/document/DRUCKEN.PS"
                self.assertEqual(self.read("other-stdout"), self.transcript(
                    other, found(4) + ["", waiting] + letter_job_lines(ps) + shown_and_deleted_lines(ps)))
                self.assertEqual((run.status, self.read("other-status")), (-9 if killed else 0, "0\n"))

    def test_terminate_reaches_the_emulator(self):
        """SIGTERM while a converter or the viewer outlasts it: the command and
        the emulator get it; kelvane writes no line for a command it does not
        start, takes no further look, says the job is kept, and ends by the
        first signal (a SIGHUP after it changes nothing) once the emulator has
        ended."""
        for tool, then_hangup in (("ps2pdf", False), ("xreader", False), ("xreader", True)):
            with self.subTest(tool, then_hangup=then_hangup):
                self.next_row()
                self.take_intermediates()
                self.slow_stand_ins()
                self.marker("slow-" + tool)
                directory = self.make_guest()
                ps = directory + "/document/DRUCKEN.PS"
                process = self.start(directory, r"""
trap 'echo guest >> "$KELVANE_TEST_ROOT/terminated"; exit 0' TERM
print_job 0; complete_job
n=0; while [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done; gave_up "no SIGTERM"
""")
                deadline = time.monotonic() + 30
                while not os.path.exists(os.path.join(self.root, "busy-" + tool)) and time.monotonic() < deadline:
                    time.sleep(0.05)
                os.kill(process.pid, signal.SIGTERM)
                while not self.read("terminated").count("\n") == 2 and time.monotonic() < deadline:
                    time.sleep(0.05)
                if then_hangup:
                    os.kill(process.pid, signal.SIGHUP)  # passed on: the viewer dies of it
                self.marker("done-" + tool)
                run = self.finish(process)
                viewer = shown_and_deleted_lines(ps)[:2] if tool == "xreader" else []
                self.assertEqual(run.stdout, self.transcript(directory, found(4, 0) + letter_job_lines(ps) + viewer + [
                    "", "kelvane was asked to end; the print file is kept: " + ps,
                    "It stays until kelvane starts again and removes it; copy it elsewhere first to keep it past"
                    " that start."]))
                self.assertEqual((run.status, sorted(self.read("terminated").split())),
                                 (-signal.SIGTERM, sorted(["guest", tool])))
                self.assertEqual(self.tools(run), ["rm", "dosemu", "ps2pdf"] + (["xreader"] if viewer else []))
                self.assertTrue(os.path.exists(ps), "the print file was not kept")

if __name__ == "__main__":
    main()
