"""How the end-to-end tests run kelvane: in a fresh directory, with the
recording stand-ins of tests/stubs (and a case's own in front of them) first
on PATH, the stand-in emulator's guest playing a scenario of shell commands,
and a /tmp of its own (scripts/own_tmp.py). kelvane runs in a session and
process group of its own, as a terminal gives a job; its output goes through
a pipe, each line timed, and into the file the guest watches.

Each case has a deadline of its own, well inside CTest's (KELVANE_TEST_SECONDS,
or 60 s); its runs stop there, and the guest gives up a little before,
saying what it waited for."""

import collections
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scripts"))
import own_tmp  # noqa: E402

KELVANE = None
VERSION = os.environ.get("KELVANE_VERSION", "")
STUBS = os.path.join(HERE, "stubs")
BANNER = "\nkelvane {} - GEOS print jobs from DOSEMU to PDF\n---------------------------------\n\n"

# Shell functions for the guest scenarios; the guest runs in its directory.
# Every wait gives up at $KELVANE_TEST_DEADLINE (seconds since the epoch).
GUEST_LIBRARY = r"""
print_job() {  # $1: layout number, or - for no layout file
  mkdir -p document userdata
  if [ "$1" = - ]; then command /bin/rm -f userdata/DRUCKEN.CFG; else printf '%s' "$1" > userdata/DRUCKEN.CFG; fi
  printf '%%!PS-Adobe-3.0\n%%%%Pages: 1\n%%%%Page: 1 1\nshowpage\n%%%%EOF\n' > document/DRUCKEN.PS.part
  mv document/DRUCKEN.PS.part document/DRUCKEN.PS
}
complete_job() { printf '\004' >> document/DRUCKEN.PS; }
change_job() { printf 'again\n\004' >> document/DRUCKEN.PS; }  # a new version, complete
gave_up() { echo "$1" >> "$KELVANE_TEST_ROOT/guest-gave-up"; exit 1; }
wait_for() {  # $1: what is awaited, then a command that succeeds once it is there
  what=$1; shift
  until "$@"; do
    now=$(date +%s)  # empty when a Ctrl-C sent to the group killed date
    [ "${now:-0}" -lt "$KELVANE_TEST_DEADLINE" ] || gave_up "waited for $what"
    sleep 0.1
  done
}
gone() { ! [ -e "$1" ] && ! [ -L "$1" ]; }
wait_deleted() { wait_for "${1:-document/DRUCKEN.PS} to go" gone "${1:-document/DRUCKEN.PS}"; }
wait_called() { wait_for "a call of $1" grep -qa "$1" "$KELVANE_TEST_RECORD"; }
written() { c=$(grep -cxF -- "$1" "$KELVANE_TEST_OUTPUT"); [ "${c:-0}" -ge "$2" ]; }
wait_output() { wait_for "the line: $1" written "$1" "${2:-1}"; }  # $2: how many of them (1)
wait_busy() { wait_for "$1 to be busy" [ -e "$KELVANE_TEST_ROOT/busy-$1" ]; }
"""


# The lines of a transcript that several cases share.
def start_lines(directory, left=True):
    ps = directory + "/document/DRUCKEN.PS"
    return [
        "Print file name: " + ps,
        "Config file name: " + directory + "/userdata/DRUCKEN.CFG",
    ] + ["A print job left from an earlier run: " + ps] * left + [
        "Remove eventually existing PS file:",
        "   - rm " + ps,
        "Start GEOS:",
        "   - dosemu -X",
    ]


def found(value, layout=None):
    return ["Found file to print", "Zeichen %d" % value] + (
        [] if layout is None else ["Found config file. Configuration %d" % layout])


def letter_job_lines(ps):
    return ["Letter print", "Convert PS file to PDF:", "   - ps2pdf " + ps + " /tmp/drucken.pdf"]


def book_job_lines(ps):
    return ["Book print", "Convert PS file to a book file:", "   - psbook %s /tmp/book.ps" % ps,
            "Re-organize book to brochure:", "   - psnup -3 /tmp/book.ps /tmp/brochure.ps",
            "Convert PS file to PDF:", "   - ps2pdf /tmp/brochure.ps /tmp/drucken.pdf"]


def kept_lines(why, ps, pdf_made=False):
    return ["", why + "; the print file is kept: " + ps,
            "It stays until the guest prints again, or until kelvane starts again and removes it;"
            " copy it elsewhere first to keep it past that start."
            + (" Its PDF is in /tmp/drucken.pdf until the next job." if pdf_made else "")]


def shown_and_deleted_lines(ps):
    return ["Start PDF-Reader:", "   - xreader /tmp/drucken.pdf", "Delete original PS file:", "   - rm " + ps]


def read_calls(path):
    """The recorded calls: (tool, [arguments]) in the order they were made."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        fields = f.read().split(b"\0")[:-1]
    calls = []
    while fields:
        tool, count = fields[0].decode(), int(fields[1])
        calls.append((tool, [a.decode("utf-8", "surrogateescape") for a in fields[2:2 + count]]))
        fields = fields[2 + count:]
    return calls


# What one run of kelvane left; `lines`: (seconds since start, line) as they arrived.
Run = collections.namedtuple("Run", "status lines stdout stderr calls elapsed")


class KelvaneCase(unittest.TestCase):
    def setUp(self):
        self.deadline = time.monotonic() + float(os.environ.get("KELVANE_TEST_SECONDS", "60"))
        self.fresh()

    def fresh(self):
        """A new directory, for a case or a row of one."""
        self.root = tempfile.mkdtemp(prefix="kelvane-test-")
        self.record = os.path.join(self.root, "record")
        self.output = os.path.join(self.root, "stdout")
        self.stubs = os.path.join(self.root, "stubs")
        self.group = None

    def tearDown(self):
        self.end_group()
        shutil.rmtree(self.root)

    def next_row(self):
        """A fresh directory and process group for the next row of a case."""
        self.tearDown()
        self.fresh()

    def end_group(self):
        """Ends what a run left in its process group: a guest that gave up, a
        stand-in still waiting."""
        if self.group is not None:
            try:
                os.killpg(self.group, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def marker(self, name, text=""):
        """A file in the case's directory that the stand-ins look for."""
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def read(self, name):
        try:
            with open(os.path.join(self.root, name), "rb") as f:
                return f.read().decode("utf-8", "surrogateescape")
        except FileNotFoundError:
            return ""

    def make_guest(self, name="guest", stale=True):
        """A guest directory; `stale`: with a complete job of an earlier run,
        removed at start and never shown, so that rm has nothing to say."""
        directory = os.path.join(self.root, name)
        for folder in ("document", "userdata"):
            os.makedirs(os.path.join(directory, folder))
        if stale:
            with open(os.path.join(directory, "document", "DRUCKEN.PS"), "wb") as f:
                f.write(b"stale\n\x04")
        return directory

    def start(self, args, scenario=None, path=None, prefix=(), user=None, stdin=subprocess.DEVNULL,
              preexec=None, merged=False, close_after=None, timeout=60):
        """Starts kelvane with `args` (a directory alone, or a list), the
        guest playing `scenario` in the last of them; `user`: as that user."""
        args = [args] if isinstance(args, str) else args
        self.run_deadline = min(self.deadline, time.monotonic() + timeout)
        env = dict(os.environ, PATH=path or os.pathsep.join([self.stubs, STUBS, os.environ["PATH"]]),
                   KELVANE_TEST_RECORD=self.record, KELVANE_TEST_ROOT=self.root, KELVANE_TEST_STUBS=STUBS,
                   KELVANE_TEST_OUTPUT=self.output, KELVANE_TEST_KELVANE=KELVANE,
                   KELVANE_TEST_DEADLINE=str(int(time.time() + self.run_deadline - time.monotonic() - 5)))
        env.pop("KELVANE_TEST_GUEST", None)
        if os.path.exists(self.record):  # the calls of this run alone
            os.remove(self.record)
        if scenario is not None:
            env["KELVANE_TEST_GUEST"] = os.path.join(self.root, "guest.sh")
            env["KELVANE_TEST_DIR"] = os.path.join(self.root, args[-1])
            with open(env["KELVANE_TEST_GUEST"], "w") as f:
                f.write(GUEST_LIBRARY + scenario)
        if prefix:
            # LeakSanitizer cannot work under ptrace (a sanitized build);
            # the runs without strace still look for leaks.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        self.lines = []
        open(self.output, "wb").close()  # there before the guest looks
        self.started = time.monotonic()
        with open(os.path.join(self.root, "stderr"), "wb") as stderr:
            as_user = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] if user else []
            process = subprocess.Popen(as_user + list(prefix) + [KELVANE] + args, cwd=self.root, env=env, stdin=stdin,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else stderr,
                                       start_new_session=True, preexec_fn=preexec)
        self.group = process.pid
        self.reader = threading.Thread(target=self.take_lines, args=(process.stdout, close_after), daemon=True)
        self.reader.start()
        return process

    def take_lines(self, pipe, close_after):
        with open(self.output, "ab") as output:
            for line in iter(pipe.readline, b""):
                if len(self.lines) == close_after:
                    break  # as `| head` does
                self.lines.append((time.monotonic() - self.started, line.decode().rstrip("\n")))
                output.write(line)
                output.flush()
        pipe.close()

    def finish(self, process):
        """Waits for kelvane until the run's deadline; fails, saying what it
        wrote, when it runs past that or the guest gave up."""
        try:
            status = process.wait(timeout=max(self.run_deadline - time.monotonic(), 0))
        except subprocess.TimeoutExpired:
            self.end_group()
            process.wait()
            self.fail("kelvane ran past its deadline; it wrote:\n" + self.read("stdout"))
        elapsed = time.monotonic() - self.started
        self.reader.join(5)
        if self.reader.is_alive():  # a stand-in left running still holds the output
            self.end_group()
            self.reader.join()
        gave_up = self.read("guest-gave-up")
        self.assertEqual(gave_up, "", "the guest %s; kelvane wrote:\n%s" % (gave_up, self.read("stdout")))
        stdout = "".join(line + "\n" for _, line in self.lines)
        return Run(status, self.lines, stdout, self.read("stderr"), read_calls(self.record), elapsed)

    def run_kelvane(self, args, scenario=None, **options):
        return self.finish(self.start(args, scenario, **options))

    def transcript(self, directory, lines, left=True):
        return BANNER.format(VERSION) + "\n".join(start_lines(directory, left) + lines) + "\n"

    @staticmethod
    def tools(run):
        return [tool for tool, _ in run.calls]


def main():
    """KELVANE [unittest arguments]: exit status 77 when every case that ran
    was skipped (CTest: SKIP_RETURN_CODE)."""
    global KELVANE
    KELVANE = os.path.abspath(sys.argv.pop(1))
    own_tmp.enter_or_say(HERE, KELVANE)
    result = unittest.main(module="__main__", exit=False).result
    sys.exit(1 if not result.wasSuccessful() else
             77 if result.testsRun > 0 and len(result.skipped) == result.testsRun else 0)
