#include "print_watch.hpp"

#include "command.hpp"
#include "console.hpp"
#include "guest_content.hpp"
#include "guest_files.hpp"
#include "turn.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

watch_record watch;

static const char book_file[] = "/tmp/book.ps";
static const char brochure_file[] = "/tmp/brochure.ps";
static const char pdf_file[] = "/tmp/drucken.pdf";

// The fixed paths lie in a directory that everyone can write to: a link
// there, symbolic or hard, would have a step overwrite another file, and a
// file of another user's would be theirs to read and change. Says so when
// it refuses.
static bool plain_file_of_own(const char* path, const struct stat& status)
{
    if (S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == geteuid())
        return true;
    say("\nNot writing through %s: it is not a plain file of your own\n", path);
    return false;
}

// One conversion step. It counts only when the command exits with 0 and
// writes `output` anew: a stale output would be shown as if it were this job.
static bool convert(const char* title, const char* format, const char* input, const char* output)
{
    struct stat before;
    const bool existed = lstat(output, &before) == 0;
    if (existed && !plain_file_of_own(output, before))
        return false;
    const int status = run_logged(title, format, input);
    struct stat after;
    // Looked at again: another user may have put a file there while the
    // command started.
    if (!command_succeeded(status) || lstat(output, &after) != 0 || !plain_file_of_own(output, after))
        return false;
    return !existed || before.st_ino != after.st_ino || !same_time(before.st_mtim, after.st_mtim)
        || !same_time(before.st_ctim, after.st_ctim);
}

// The job's print file is left alone from now on, until it changes.
static void keep_print_file()
{
    watch.kept_file = watch.job_file;
    watch.kept = true;
}

// Keeps the job's print file, saying why, for how long it stays and, when
// given, what to do (a line of its own).
static void keep_failed_job(const char* why, const char* and_the_pdf, const char* what_to_do = "")
{
    say("\n%s; the print file is kept: %s\n"
        "It stays until the guest prints again, or until kelvane starts again and removes it;"
        " copy it elsewhere first to keep it past that start.%s\n%s",
        why, watch.job_path, and_the_pdf, what_to_do);
    keep_print_file();
}

// The real xreader shows a page 0.35 s after it starts at the soonest, and
// returns at once where another of its windows takes the file (that one
// shows the job) or where there is no session bus (nothing is shown): of a
// viewer that ends by itself sooner than this, kelvane cannot tell whether
// anyone saw the job. On a machine under load keeping the job is the safe
// side.
static const long long shortest_viewing_ns = 1000LL * 1000 * 1000;
static struct timespec viewer_started;

// Without DBUS_SESSION_BUS_ADDRESS, GLib still finds the session bus at
// $XDG_RUNTIME_DIR/bus; only with neither has xreader none for sure.
static void quick_viewer_advice(char* advice, std::size_t size)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    char bus[path_size] = "DBUS_SESSION_BUS_ADDRESS";
    struct stat status;
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr
        && (runtime == nullptr || std::snprintf(bus, sizeof bus, "%s/bus", runtime) >= static_cast<int>(sizeof bus)
            || stat(bus, &status) != 0)) {
        std::snprintf(advice, size, "DBUS_SESSION_BUS_ADDRESS is not set, and xreader opens no window without a"
                                    " session bus: run kelvane in the desktop session, then print the job again.\n");
        return;
    }
    std::snprintf(advice, size,
                  "Another window showing /tmp/drucken.pdf may have taken the file, or the session bus at %s does not"
                  " answer: close that window or check the bus, then print the job again.\n",
                  bus);
}

static void note_viewer_start()
{
    clock_gettime(CLOCK_MONOTONIC, &viewer_started);
}

static long long nanoseconds_since(const struct timespec& start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL * 1000 * 1000 + (now.tv_nsec - start.tv_nsec);
}

// Asked to end (SIGTERM, SIGHUP), kelvane starts no further command: the
// job stays where it is, and this says so.
static bool asked_to_end()
{
    if (end_requested() == 0)
        return false;
    say("\nkelvane was asked to end; the print file is kept: %s\n"
        "It stays until kelvane starts again and removes it; copy it elsewhere first to keep it past that start.\n",
        watch.job_path);
    return true;
}

// True while the print file is still the job's file. A file that has gone is
// silently not; one that changed is not, after `why` has been said of it.
static bool still_the_job(const char* why)
{
    file_identity now;
    if (!identify(watch.job_path, &now))
        return false;
    if (same_file(now, watch.job_file))
        return true;
    say("\nThe print file changed %s: %s\n", why, watch.job_path);
    return false;
}

// Converts the job, shows it and deletes the print file, with each step's
// outcome looked at.
static void convert_show_delete()
{
    const char* print_file = watch.job_path;
    bool converted;
    if (watch.layout_mode != 0) {
        say("Book print\n");
        converted = convert("Convert PS file to a book file", "psbook %s /tmp/book.ps", print_file, book_file)
            && convert("Re-organize book to brochure", "psnup -3 /tmp/book.ps /tmp/brochure.ps", nullptr,
                       brochure_file)
            && convert("Convert PS file to PDF", "ps2pdf /tmp/brochure.ps /tmp/drucken.pdf", nullptr, pdf_file);
    } else {
        say("Letter print\n");
        converted = convert("Convert PS file to PDF", "ps2pdf %s /tmp/drucken.pdf", print_file, pdf_file);
    }
    if (asked_to_end())
        return;
    if (!converted) {
        keep_failed_job("The conversion failed", "");
        return;
    }
    // A new job begun while the converters read the print file would be
    // shown cut short as this one (ghostscript takes a cut file).
    if (!still_the_job("while it was converted; it is looked at anew"))
        return;

    // Timed from its start, so that a terminal slow to take the line does
    // not count as time on screen.
    const int viewer = run_logged("Start PDF-Reader", "xreader /tmp/drucken.pdf", nullptr, note_viewer_start);
    const long long viewed_ns = nanoseconds_since(viewer_started);
    if (asked_to_end())
        return;
    if (!command_ran(viewer)) {
        keep_failed_job("The viewer did not start or was ended by a signal",
                        " Its PDF is in /tmp/drucken.pdf until the next job.");
        return;
    }
    // A viewer closed normally exits with 0; one that failed showed nothing
    // for sure, however long it took (mupdf without a display, say).
    if (WEXITSTATUS(viewer) != 0) {
        char why[64];
        std::snprintf(why, sizeof why, "The viewer ended with exit status %d", WEXITSTATUS(viewer));
        keep_failed_job(why, " Its PDF is in /tmp/drucken.pdf until the next job.");
        return;
    }
    if (viewed_ns < shortest_viewing_ns) {
        char advice[path_size + 256];
        quick_viewer_advice(advice, sizeof advice);
        keep_failed_job("The viewer returned within a second of starting, so kelvane cannot tell that anyone saw"
                        " the job",
                        " Its PDF is in /tmp/drucken.pdf until the next job.", advice);
        return;
    }

    // The guest may have printed again while the viewer was open: that is
    // a new job under the same name, for the look below, not this one's.
    if (!still_the_job("while the job was shown; it is kept as a new job"))
        return;
    run_logged("Delete original PS file", "rm %s", print_file);

    file_identity now;
    if (identify(print_file, &now) && same_file(now, watch.job_file) && !asked_to_end()) {
        say("\nThe print file could not be deleted; it is not printed again until it changes: %s\n",
            print_file);
        keep_print_file();
    }
}

// Phase 1: runs while the job is JOB_BUSY, so ticks that fall due meanwhile
// return at once. Returns the state the job is in afterwards: JOB_READY
// while it waits for its turn.
static std::int32_t process_job(bool wait_for_turn)
{
    // A new job begun since, or a FIFO put in its place, must never reach a
    // converter: it is looked at anew below.
    if (!still_the_job("after it was found complete; it is looked at anew"))
        return JOB_IDLE;
    int turn;
    if (!take_turn(wait_for_turn, watch.job_path, &watch.waiting_for_turn, &turn))
        return JOB_READY;
    convert_show_delete();
    give_back_turn(turn);
    return JOB_IDLE;
}

// Said once for each version of the print file seen incomplete at two looks
// in a row: a driver that writes anything after the 0x04 keeps every job
// waiting. Not for an empty file, which is how DOSBox shows one being
// written.
static void explain_if_stuck(const char* path, int value, const struct stat& status)
{
    if (value < 0 || value == 4) {
        watch.incomplete_seen = false;
        return;
    }
    const file_identity now = identity_of(status);
    if (!watch.incomplete_seen || !same_file(now, watch.incomplete_file)) {
        watch.incomplete_file = now;
        watch.incomplete_explained = false;
    } else if (!watch.incomplete_explained) {
        say("\nThe print file is not complete until its last byte is 0x04 (Ctrl-D); its last byte is %d,"
            " and it has not changed since the last look: %s\n"
            "A line end or anything else after the 0x04 keeps it waiting: the printer driver must write 0x04 last.\n",
            value, path);
        watch.incomplete_explained = true;
    }
    watch.incomplete_seen = true;
}

// Phase 2: returns the state the job is in after the look. Besides the
// finding, one open, one fstat, one byte read, one write and one close at
// most, since it runs at every tick for as long as the emulator runs.
static std::int32_t look_for_job()
{
    char path[path_size];
    const int fd = open_guest_file(guest_print_file, path);
    if (fd < 0) {
        watch.kept = false;
        watch.incomplete_seen = false;
        return JOB_IDLE;
    }
    struct stat status;
    const bool known = fstat(fd, &status) == 0;
    if (known && watch.kept && same_file(identity_of(status), watch.kept_file)) {
        close(fd);
        return JOB_IDLE;
    }
    const int value = known ? last_byte(fd, status) : -1;
    close(fd);
    say("Found file to print\nZeichen %i\n", value);
    explain_if_stuck(path, value, status);
    if (value != 4)
        return JOB_IDLE;

    std::memcpy(watch.job_path, path, sizeof path);
    watch.job_file = identity_of(status);
    watch.waiting_for_turn = false;
    watch.layout_mode = 0;
    const int config = open_guest_file(guest_layout_file, path);
    if (config >= 0) {
        watch.layout_mode = read_layout_number(config);
        close(config);
        say("Found config file. Configuration %i\n", static_cast<int>(watch.layout_mode));
    }
    return JOB_READY;
}

// Runs inside the SIGALRM handler. That is sound here because the launcher
// holds the job claimed (JOB_BUSY) until the emulator runs and is then parked
// in its wait for it, touching neither the console nor the watch record; and
// a tick that falls due while this one runs finds the job claimed and returns
// before touching anything. Claiming is an atomic exchange, so no job can be
// taken up twice.
static void watch_tick(bool wait_for_turn)
{
    // Asked to end, kelvane takes up no job and looks no more: a viewer
    // would wait for a user who is leaving.
    std::int32_t expected = JOB_READY;
    if (end_requested() == 0 && watch.job_state.compare_exchange_strong(expected, JOB_BUSY))
        watch.job_state = process_job(wait_for_turn);
    expected = JOB_IDLE;
    if (end_requested() == 0 && watch.job_state.compare_exchange_strong(expected, JOB_BUSY))
        watch.job_state = look_for_job();
}

void print_watch_hold()
{
    watch.job_state = JOB_BUSY;
}

void print_watch_start()
{
    watch.job_state = JOB_IDLE;
}

void print_watch_tick()
{
    watch_tick(false);
}

void print_watch_last_look()
{
    // Found complete only now, or printed again while the last was shown:
    // printed as well.
    do
        watch_tick(true);
    while (watch.job_state == JOB_READY && end_requested() == 0);
    // Found, but kelvane was asked to end before its turn came.
    if (watch.job_state == JOB_READY)
        asked_to_end();
}
