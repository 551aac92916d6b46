"""A /tmp of the test's own: kelvane writes fixed files there (/tmp/drucken.pdf
and the rest), which a user's running session would otherwise have
overwritten, and which would make the cases take turns.

enter() moves this process into a mount namespace of its own (and, when not
root, a user namespace that maps the user to itself, as Debian allows) with a
tmpfs on /tmp, and a network namespace, so that an X server's abstract socket
is private too. What it and its children then see under /tmp is theirs alone.
Paths under the real /tmp that the test needs (a checkout in /tmp/ci, say)
are mounted back at the same place.

Run as a program without arguments, it says whether it can: exit status 0,
or 1 and why. With a command, it runs that with a /tmp of its own, keeping
the current directory and the paths named in the command reachable.
"""

import ctypes
import os
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000
CLONE_NEWUSER = 0x10000000
MS_BIND = 0x1000
MS_REC = 0x4000
MS_PRIVATE = 0x40000


def _call(function, *arguments):
    if function(*arguments) != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def enter(*keep):
    """Enters the namespaces; raises OSError when this machine does not allow
    it. `keep`: paths that must stay reachable."""
    libc = ctypes.CDLL(None, use_errno=True)
    uid, gid = os.geteuid(), os.getegid()
    _call(libc.unshare, CLONE_NEWNS | CLONE_NEWNET | (0 if uid == 0 else CLONE_NEWUSER))
    if uid != 0:
        _write("/proc/self/setgroups", "deny")
        _write("/proc/self/uid_map", "%d %d 1" % (uid, uid))
        _write("/proc/self/gid_map", "%d %d 1" % (gid, gid))
    # Nothing mounted here reaches the machine's own mounts.
    _call(libc.mount, b"none", b"/", None, MS_REC | MS_PRIVATE, None)
    # Opened before the tmpfs covers it, to mount parts of it back from.
    real_tmp = os.open("/tmp", os.O_RDONLY | os.O_DIRECTORY)
    try:
        _call(libc.mount, b"tmpfs", b"/tmp", b"tmpfs", 0, b"mode=1777")
        for top in sorted({os.path.realpath(path).split("/")[2] for path in keep
                           if os.path.realpath(path).startswith("/tmp/")}):
            os.mkdir("/tmp/" + top)
            source = "/proc/self/fd/%d/%s" % (real_tmp, top)
            _call(libc.mount, source.encode(), ("/tmp/" + top).encode(), None, MS_BIND | MS_REC, None)
    finally:
        os.close(real_tmp)


def enter_or_say(*keep):
    """enter(), or one line saying that the real /tmp is used."""
    try:
        enter(*keep)
    except OSError as error:
        print("no /tmp of its own here (%s): the real /tmp is used" % error.strerror, flush=True)


if __name__ == "__main__":
    named = [a for a in sys.argv[1:] if os.path.exists(a) or os.path.exists(os.path.dirname(a) or ".")]
    try:
        enter(os.getcwd(), *named)
    except OSError as error:
        print(error.strerror)
        sys.exit(1)
    if len(sys.argv) > 1:
        os.execvp(sys.argv[1], sys.argv[1:])
