#!/usr/bin/env python3
"""End-to-end tests of the kelvane binary, run as tests/harness.py runs it:
the stand-ins record their argument vectors, and the stand-in emulator's
guest plays a scenario written by the case. Usage:

    e2e_test.py KELVANE [unittest arguments]
"""

import os
import shutil
import signal
import subprocess
import unittest.mock

from harness import (BANNER, VERSION, KelvaneCase, book_job_lines, found, kept_lines, letter_job_lines, main,
                     shown_and_deleted_lines, start_lines)

# From the build tree, which has no installed example script beside it.
NO_EMULATOR = ("\nThe emulator dosemu could not be started.\n"
               "Check that a program named dosemu is on PATH: command -v dosemu\n"
               "Without DOSEMU, as on Debian, DOSBox can run GEOS in its place: copy the example\n"
               "script below into a directory on PATH, make it executable and set its three lines.\n"
               "   docs/examples/dosemu in kelvane's source\n")


class KelvaneTest(KelvaneCase):
    def test_arguments(self):
        """What the command line alone decides, with an emulator that ends at once."""
        banner = BANNER.format(VERSION)
        help_text = (
            "Starts DOSEMU2 and watches for the DRUCKEN.PS file in the document folder\n"
            "If the PS file will be found it will be printed as normal or as brochure\n"
            "print-out\n\n"
            "Usage:   kelvane [--] <GEOS directory holding document and userdata>\n"
            "         kelvane -h | --help | --version\n"
            "Example: kelvane /home/tovi/dos/ZUZ\n\n"
            "Requires DOSEMU, PSUTILS, ghostscript (ps2pdf) and xreader\n"
            "The whole story: man kelvane\n")
        longest = "d" * 233 + "/"
        started = banner + "\n".join(start_lines(longest)) + "\n"
        none = start_lines("none/document", False)
        # name, arguments, exit status, stdout, calls, and what stderr holds
        # when not empty; without dosemu on PATH the shell's complaint is there.
        cases = [
            ("no argument", [], 0, banner + help_text, []),
            ("-h", ["-h", "x"], 0, banner + help_text, []),
            ("--help", ["--help"], 0, banner + help_text, []),
            ("empty", [""], 1, banner + "\nThe directory name is empty.\n", []),
            ("unknown option", ["-x", longest], 1,
             banner + "\nUnknown option: -x (kelvane --help shows the usage)\n"
             "A directory whose name begins with - follows --: kelvane -- -x\n", []),
            ("too long", ["d" * 235], 1,
             banner + "\nThe directory name is too long: 235 bytes, at most 234 are allowed.\n", []),
            ("longest, trailing slash kept", [longest], 0, started,
             [("rm", [longest + "/document/DRUCKEN.PS"]), ("dosemu", ["-X"])]),
            ("a blank left unquoted", ["--", longest, "extra"], 1, banner + "\nOne directory is all kelvane takes; it "
             "was also given: extra\nA directory whose name holds blanks goes in quotes: kelvane '%s extra'\n"
             % longest, []),
            ("its document folder given", ["doc/"], 1, banner + "\nThe directory given is a document folder itself,"
             " with no document folder in it: doc/\nGive kelvane the directory that holds it: kelvane %s/g\n"
             % os.path.realpath(self.root), []),
            ("not a directory", ["/dev/null"], 1, banner + "\nNot a directory: /dev/null; kelvane takes the directory"
             " that holds document and userdata.\n", []),
            ("watched already", [longest], 0, started + "1\n" + banner + "\nAnother kelvane watches ../link/, or an"
             " emulator that a killed kelvane left running still uses it.\nEnd that kelvane, or close that emulator,"
             " and start kelvane again.\nstatus 1\n", [("rm", [longest + "/document/DRUCKEN.PS"]), ("dosemu", ["-X"])],
             r"\A\Z", 'exec 3>&1; ls -l /proc/$$/fd | grep -c "> $(pwd -P)$"  # the emulator holds it, as dosemu does\n'
             'ln -s "$PWD" ../link; KELVANE_TEST_GUEST= /proc/$PPID/exe ../link/; echo "status $?"\n'),
            ("the emulator killed", [longest], 0, started + "\nThe emulator ended by signal SIGINT.\n",
             [("rm", [longest + "/document/DRUCKEN.PS"]), ("dosemu", ["-X"])], r"\A\Z", "kill -INT $$\n"),
            ("a print file never complete", [longest], 0, started + "Found file to print\nZeichen 10\n" * 2
             + "\nThe print file is not complete until its last byte is 0x04 (Ctrl-D); its last byte is 10, and it"
             " has not changed since the last look: %s/document/DRUCKEN.PS\nA line end or anything else after the"
             " 0x04 keeps it waiting: the printer driver must write 0x04 last.\nFound file to print\nZeichen 10\n"
             % longest, [("rm", [longest + "/document/DRUCKEN.PS"]), ("dosemu", ["-X"])], r"\A\Z",
             "printf 'x\\004\\n' > document/DRUCKEN.PS; sleep 9\n"),
            ("no emulator", [longest], 1, started + NO_EMULATOR, None),
            ("--version", ["--version"], 0, "kelvane %s\n" % VERSION, []),
            ("no document folder", ["none/document"], 0, banner + "\n".join(
                none[:2] + ["", "There is no folder none/document/document, where print jobs are looked for."] + none[2:]
                + ["", "There was no folder none/document/document during the whole run, so no print job could be seen;"
                   " none/document may be mistyped."]) + "\n",
             [("rm", ["none/document/document/DRUCKEN.PS"]), ("dosemu", ["-X"])], r"rm: [^\n]*none[^\n]*\n$"),
        ]
        os.makedirs(os.path.join(self.root, "g", "Document"))
        os.symlink("g/Document", os.path.join(self.root, "doc"))
        for name, args, status, stdout, calls, *more in cases:
            with self.subTest(name):
                # A stale print file, so that rm has nothing to say.
                shutil.rmtree(os.path.join(self.root, longest), ignore_errors=True)
                self.make_guest(longest)
                run = self.run_kelvane(args, more[1] if len(more) > 1 else None,
                                       path=None if calls is not None else "/usr/bin:/bin")
                self.assertEqual(run.status, status)
                self.assertEqual(run.stdout, stdout)
                if calls is None:
                    self.assertRegex(run.stderr, r"^[^\n]*dosemu[^\n]*\n$")
                else:
                    self.assertRegex(run.stderr, more[0] if more else r"\A\Z")
                    self.assertEqual(run.calls, calls)

    def test_letter_then_brochure(self):
        """The whole transcript of two jobs, and ticks every 4 seconds; a helper
        that the first job's viewer leaves running does not hold up the next."""
        directory = self.make_guest()
        self.marker("viewer-leaves-a-helper")
        run = self.run_kelvane(directory, r"""
print_job 0; sleep 5; complete_job; wait_deleted
sleep 1; print_job 1; complete_job; wait_deleted
""")
        ps = directory + "/document/DRUCKEN.PS"
        self.assertEqual(run.stdout, self.transcript(directory, found(10) + found(4, 0) + letter_job_lines(ps)
                                                     + shown_and_deleted_lines(ps) + found(4, 1)
                                                     + book_job_lines(ps) + shown_and_deleted_lines(ps)))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertFalse(os.path.exists(ps))

        ticks = [t for t, line in run.lines if line in ("Found file to print", "Letter print", "Book print")]
        self.assertAlmostEqual(ticks[0], 4.0, delta=1.5)
        for earlier, later in zip(ticks, ticks[1:]):
            self.assertAlmostEqual(later - earlier, 4.0, delta=1.0, msg=ticks)

    def test_failed_conversion_keeps_the_job(self):
        """A failing converter: no viewer, the print file kept and left alone
        until the guest prints again."""
        directory = self.make_guest()
        self.marker("fail-ps2pdf")
        run = self.run_kelvane(directory, r"""
print_job 0; complete_job
wait_called ps2pdf; sleep 6
[ -e document/DRUCKEN.PS ] && echo kept > "$KELVANE_TEST_ROOT/evidence"
command /bin/rm "$KELVANE_TEST_ROOT/fail-ps2pdf"
print_job -; complete_job; wait_deleted
""")
        ps = directory + "/document/DRUCKEN.PS"
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        self.assertTrue(os.path.exists(os.path.join(self.root, "evidence")), "print file was not kept")
        self.assertEqual(run.stdout, self.transcript(directory, found(4, 0) + letter_job_lines(ps)
                                                     + kept_lines("The conversion failed", ps) + found(4)
                                                     + letter_job_lines(ps) + shown_and_deleted_lines(ps)))
        self.assertEqual(self.tools(run), ["rm", "dosemu", "ps2pdf", "ps2pdf", "xreader", "rm"])

    def test_shell_characters_in_the_directory(self):
        """Each command gets exactly its own file, however the directory is named."""
        name = "-a b'c\"$(touch x);d`touch y`&*"
        self.make_guest(name)
        # Started as a careless parent might, with SIGCHLD ignored (the
        # commands' exit statuses must still count) and SIGALRM blocked.
        def careless():
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGALRM])
        run = self.run_kelvane(["--", name], r"""
print_job 1; complete_job; wait_deleted
""", preexec=careless)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stderr, "")
        ps = "./" + name + "/document/DRUCKEN.PS"
        self.assertEqual(run.calls, [
            ("rm", [ps]),
            ("dosemu", ["-X"]),
            ("psbook", [ps, "/tmp/book.ps"]),
            ("psnup", ["-3", "/tmp/book.ps", "/tmp/brochure.ps"]),
            ("ps2pdf", ["/tmp/brochure.ps", "/tmp/drucken.pdf"]),
            ("xreader", ["/tmp/drucken.pdf"]),
            ("rm", [ps]),
        ])
        # Nothing was created or removed beside the guest's own files.
        left = sorted(os.path.relpath(os.path.join(d, f), self.root)
                      for d, dirs, files in os.walk(self.root) for f in files + dirs)
        self.assertEqual(left, sorted(["record", "guest.sh", "stdout", "stderr", name, name + "/document", name + "/userdata",
                                       name + "/userdata/DRUCKEN.CFG"]))

    def test_guest_files_in_any_case(self):
        """DOS names know no case: each job is found, converted and deleted as it lies on the host."""
        # folders there at start, a print file left from before, the print file, the layout file, its number
        cases = [("document userdata", "document/drucken.ps", "document/drucken.ps", "userdata/DRUCKEN.CFG", 0),
                 ("DOCUMENT userdata", None, "DOCUMENT/DRUCKEN.PS", "userdata/DRUCKEN.CFG", 0),
                 ("Document USERDATA", None, "Document/Drucken.Ps", "USERDATA/drucken.cfg", 1),
                 ("document DOCUMENT userdata", None, "DOCUMENT/drucken.ps", "userdata/drucken.cfg", 1),
                 ("document userdata", " ".join("document/" + "DRUCKEN.PS"[:i] + "DRUCKEN.PS"[i].lower()
                                                 + "DRUCKEN.PS"[i + 1:] for i in (0, 1, 2, 3, 4, 5, 6, 8, 9)),
                  "document/DRUCKEN.PS", "userdata/DRUCKEN.CFG", 0)]
        for number, (folders, leftover, ps, cfg, layout) in enumerate(cases):
            with self.subTest(ps):
                directory = os.path.join(self.root, str(number))
                for folder in folders.split():
                    os.makedirs(os.path.join(directory, folder))
                for name in (leftover or "").split():
                    open(os.path.join(directory, name), "w").close()
                run = self.run_kelvane(directory, "printf %d > %s; printf 'x\\004' > %s; wait_deleted %s\n"
                                       % (layout, cfg, ps, ps))
                ps = directory + "/" + ps
                steps = ([("psbook", [ps, "/tmp/book.ps"]), ("psnup", ["-3", "/tmp/book.ps", "/tmp/brochure.ps"]),
                          ("ps2pdf", ["/tmp/brochure.ps", "/tmp/drucken.pdf"])] if layout else
                         [("ps2pdf", [ps, "/tmp/drucken.pdf"])])
                self.assertEqual(run.calls, [("rm", [directory + "/" + name])
                                             for name in sorted((leftover or "document/DRUCKEN.PS").split())]
                                 + [("dosemu", ["-X"])] + steps + [("xreader", ["/tmp/drucken.pdf"]), ("rm", [ps])])
                self.assertEqual(("   %s/DOCUMENT\n" % directory in run.stdout, run.status), ("document DOCUMENT" in folders, 0))

    def test_folder_made_later_on_fat(self):
        """A DOCUMENT folder made after the start on FAT, whose folder times never move under fusefat."""
        directory, image = os.path.join(self.root, "fat"), os.path.join(self.root, "fat.img")
        os.makedirs(directory)
        made = subprocess.run("truncate -s 8M {0} && mkfs.fat {0} && fusefat -o rw+ {0} {1}".format(image, directory),
                              shell=True, capture_output=True, timeout=20, env=dict(os.environ, PATH="/usr/sbin:/usr/bin"))
        if made.returncode != 0:
            self.skipTest("no FAT image can be mounted here: " + made.stderr.decode().strip())
        try:
            run = self.run_kelvane(directory, "sleep 1; mkdir DOCUMENT; printf 'x\\004' > DOCUMENT/DRUCKEN.PS\n"
                                   "wait_deleted DOCUMENT/DRUCKEN.PS\n")
        finally:
            subprocess.run(["fusermount", "-u", directory], timeout=20)
        self.assertEqual(self.tools(run), ["rm", "dosemu", "ps2pdf", "xreader", "rm"])

    def test_emulator_ends_with_127(self):
        """A job found complete is still printed when the emulator's command ends
        with 127; a viewer the shell cannot find keeps it."""
        directory = self.make_guest()
        self.marker("missing-xreader")
        run = self.run_kelvane(directory, "print_job 0; complete_job; sleep 5; exit 127\n")
        ps = directory + "/document/DRUCKEN.PS"
        self.assertEqual(run.stdout, self.transcript(directory, found(4, 0) + letter_job_lines(ps)
                                                     + shown_and_deleted_lines(ps)[:2] + kept_lines(
                                                         "The viewer did not start or was ended by a signal", ps,
                                                         pdf_made=True)) + NO_EMULATOR)
        self.assertEqual(run.status, 1)
        self.assertTrue(os.path.exists(ps), "the print file was not kept")

    def test_viewer_returns_at_once(self):
        """A viewer that returns within a second may have shown nothing; one that fails, however slowly, has."""
        quick = "The viewer returned within a second of starting, so kelvane cannot tell that anyone saw the job"
        self.marker("bus")
        # the viewer's exit status and marker, XDG_RUNTIME_DIR, the lines that end the run
        for number, (status, marker, runtime, why, advice) in enumerate((
                (0, "viewer-exits-at-once", "/none", quick, "DBUS_SESSION_BUS_ADDRESS is not set, and xreader opens no"
                 " window without a session bus: run kelvane in the desktop session, then print the job again.\n"),
                (0, "viewer-exits-at-once", self.root, quick, "Another window showing /tmp/drucken.pdf may have taken"
                 " the file, or the session bus at %s/bus does not answer: close that window or check the bus, then"
                 " print the job again.\n" % self.root),
                (2, "viewer-status", "/none", "The viewer ended with exit status 2", ""))):
            with self.subTest(why=why, advice=advice), unittest.mock.patch.dict(os.environ, XDG_RUNTIME_DIR=runtime):
                os.environ.pop("DBUS_SESSION_BUS_ADDRESS", None)
                directory = self.make_guest("guest%d" % number, stale=False)
                self.marker(marker, str(status))
                run = self.run_kelvane(directory, "print_job 0; complete_job; sleep 9\n")
                os.remove(os.path.join(self.root, marker))
                ps = directory + "/document/DRUCKEN.PS"
                self.assertTrue(run.stdout.endswith("\n".join(kept_lines(why, ps, True)) + "\n" + advice), run.stdout)
                self.assertTrue(os.path.exists(ps), "the print file was not kept")

    def test_closed_output(self):
        """Its reader gone (`kelvane DIR | head -n 1`, also with 2>&1), kelvane and a converter
        that writes to stderr go on with the job."""
        self.marker("noisy")
        for merged in (False, True):
            with self.subTest(merged=merged):
                directory = self.make_guest("guest%d" % merged)
                run = self.run_kelvane(directory, "print_job 1; complete_job; wait_deleted\n",
                                       close_after=1, merged=merged)
                self.assertEqual(run.status, 0)
                self.assertEqual(self.tools(run),
                                 ["rm", "dosemu", "psbook", "psnup", "ps2pdf", "xreader", "rm"])


if __name__ == "__main__":
    main()
