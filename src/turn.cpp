#include "turn.hpp"

#include "command.hpp"
#include "console.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Set where the guest directory is /tmp itself and this session holds it:
// its turn is then held all along, and a second lock on /tmp would wait
// for this very session.
static bool turn_held_as_guest;

bool hold_guest_directory(const char* directory, int* lock)
{
    *lock = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*lock < 0)
        return true;
    if (flock(*lock, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        close(*lock);
        *lock = -1;
        if (taken)
            say("\nAnother kelvane watches %s, or an emulator that a killed kelvane left running still uses it.\n"
                "End that kelvane, or close that emulator, and start kelvane again.\n",
                directory);
        return !taken;
    }
    // Above the single digits that shell scripts redirect: the real dosemu
    // script's `exec 3>&1` would otherwise close it before its emulator ran.
    const int high = fcntl(*lock, F_DUPFD_CLOEXEC, 10);
    if (high >= 0) {
        close(*lock);
        *lock = high;
    }
    struct stat guest, tmp;
    turn_held_as_guest = fstat(*lock, &guest) == 0 && stat("/tmp", &tmp) == 0 && guest.st_dev == tmp.st_dev
        && guest.st_ino == tmp.st_ino;
    return true;
}

bool take_turn(bool wait, const char* job_path, bool* said, int* turn)
{
    *turn = -1;
    if (turn_held_as_guest)
        return true;
    // Not close-on-exec: the job's commands inherit the lock, so that a
    // session killed outright keeps the turn until its viewer, and anything
    // the viewer left running, have ended. The emulator, started before,
    // never has it.
    *turn = open("/tmp", O_RDONLY | O_DIRECTORY);
    if (*turn < 0)
        return true;
    while (flock(*turn, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            // No locks here at all: the job goes on without its turn.
            close(*turn);
            *turn = -1;
            return true;
        }
        if (!*said)
            say("\n/tmp is locked, most likely by another kelvane session converting or showing a job;"
                " this one waits its turn: %s\n",
                job_path);
        *said = true;
        if (!wait || end_requested() != 0) {
            close(*turn);
            return false;
        }
        // Looked at again twice a second, not waited for in flock: a SIGTERM
        // that came just before a blocking flock would not end its wait.
        const struct timespec pause = {0, 500 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

void give_back_turn(int turn)
{
    if (turn < 0)
        return;
    // Unlocked for every copy: a helper that the viewer left running must
    // not hold the turn. Killed outright, kelvane never gets here, and its
    // orphaned viewer keeps the turn.
    flock(turn, LOCK_UN);
    close(turn);
}
