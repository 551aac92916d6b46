// kelvane: runs GEOS in the DOS emulator and turns the guest's print jobs
// into PDFs on screen.
#include "command.hpp"
#include "console.hpp"
#include "guest_files.hpp"
#include "print_watch.hpp"
#include "tick.hpp"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KELVANE_VERSION
#define KELVANE_VERSION "unknown"
#endif

#ifndef KELVANE_EXAMPLES_FROM_BIN
#define KELVANE_EXAMPLES_FROM_BIN "../share/doc/kelvane/examples"
#endif

static void write_help()
{
    say("Starts DOSEMU2 and watches for the DRUCKEN.PS file in the document folder\n"
        "If the PS file will be found it will be printed as normal or as brochure\n"
        "print-out\n\n"
        "Usage:   kelvane [--] <GEOS directory holding document and userdata>\n"
        "         kelvane -h | --help | --version\n"
        "Example: kelvane /home/tovi/dos/ZUZ\n\n"
        "Requires DOSEMU, PSUTILS, ghostscript (ps2pdf) and xreader\n");
}

// The guest may create the folder later; until then no print job can
// arrive, which is what a mistyped directory looks like. DOS takes every
// case of the name for one folder, so several on the host are said.
static void say_about_document_folders(const char* directory)
{
    const int count = list_guest_folders(guest_print_file);
    if (count == 0)
        say("\nThere is no folder %s/document, where print jobs are looked for.\n", directory);
    if (count < 2)
        return;
    say("\nThese folders are all the guest's DOCUMENT, as DOS names know no case;"
        " print jobs are looked for in them in this order:\n");
    for (int i = 0; i < count; ++i)
        say("   %s/%s\n", directory, guest_print_file.folders[i]);
    say("Keep only one of them, so that the guest and kelvane are sure to use the same.\n");
}

// Every print file left from an earlier run, in whatever case; with none,
// rm is run on the name as DOS spells it, and says so.
static void remove_leftover_print_files()
{
    char leftovers[max_matches][path_size];
    const int count = list_guest_files(guest_print_file, leftovers, max_matches);
    if (count == 0)
        run_logged("Remove eventually existing PS file", "rm %s", watch.print_file_path);
    for (int i = 0; i < count; ++i)
        run_logged("Remove eventually existing PS file", "rm %s", leftovers[i]);
}

// Where the example dosemu script for DOSBox lies when kelvane is installed
// (beside bin/, in the documentation); else where it lies in the source.
static void say_where_the_example_emulator_is()
{
    char program[PATH_MAX], example[PATH_MAX + 64], found[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    program[length > 0 ? length : 0] = '\0';
    char* slash = std::strrchr(program, '/');
    if (slash != nullptr) {
        *slash = '\0';
        std::snprintf(example, sizeof example, "%s/" KELVANE_EXAMPLES_FROM_BIN "/dosemu", program);
    }
    const char* shown = slash != nullptr && realpath(example, found) != nullptr
        ? found
        : "docs/examples/dosemu in kelvane's source";
    say("Check that a program named dosemu is on PATH: command -v dosemu\n"
        "Without DOSEMU, as on Debian, DOSBox can run GEOS in its place: copy the example\n"
        "script below into a directory on PATH, make it executable and set its three lines.\n"
        "   %s\n",
        shown);
}

// Ends kelvane with `status`, or by a SIGTERM or SIGHUP that came meanwhile.
static int end_with(int status)
{
    end_if_asked();
    return status;
}

// Started, the emulator gives the ticks their turn.
static void let_the_ticks_look()
{
    watch.job_state = JOB_IDLE;
}

int main(int argc, char** argv)
{
    const char* first = argc > 1 ? argv[1] : nullptr;
    if (first != nullptr && std::strcmp(first, "--version") == 0) {
        say("kelvane " KELVANE_VERSION "\n");
        return 0;
    }
    // A closed pipe (`kelvane DIR | head`) would otherwise end kelvane in the
    // middle of a job, with the emulator running on unwatched.
    take_over_signals();
    say("\nkelvane " KELVANE_VERSION " - GEOS print jobs from DOSEMU to PDF\n"
        "---------------------------------\n\n");
    // "--" ends the options: what follows is the directory, whatever its name.
    const bool options_ended = first != nullptr && std::strcmp(first, "--") == 0;
    const char* directory = options_ended ? (argc > 2 ? argv[2] : nullptr) : first;
    const bool help_asked = !options_ended && directory != nullptr
        && (std::strcmp(directory, "-h") == 0 || std::strcmp(directory, "--help") == 0);
    if (directory == nullptr || help_asked) {
        write_help();
        return end_with(0);
    }
    // A mistyped option must not start the emulator on a directory of its name.
    if (!options_ended && directory[0] == '-') {
        say("\nUnknown option: %s (kelvane --help shows the usage)\n", directory);
        return end_with(1);
    }

    // An empty one would put the print file at the root, for rm to delete.
    if (directory[0] == '\0') {
        say("\nThe directory name is empty.\n");
        return end_with(1);
    }
    // A cut path would name another file, for rm to delete among others.
    if (std::strlen(directory) > max_directory_length) {
        say("\nThe directory name is too long: %zu characters, at most %zu are allowed.\n",
            std::strlen(directory), max_directory_length);
        return end_with(1);
    }

    // Inherited as ignored, SIGCHLD would have the kernel reap the commands
    // before kelvane could learn how they ended.
    std::signal(SIGCHLD, SIG_DFL);

    // Claimed until the emulator runs: a tick during a slow removal of the
    // stale print file must not print it, nor write into the launcher's lines.
    watch.job_state = JOB_BUSY;
    std::snprintf(watch.print_file_path, sizeof watch.print_file_path, "%s/document/DRUCKEN.PS", directory);
    std::snprintf(watch.config_file_path, sizeof watch.config_file_path, "%s/userdata/DRUCKEN.CFG", directory);
    say("Print file name: %s\nConfig file name: %s\n", watch.print_file_path, watch.config_file_path);
    guest_files_start(directory);
    say_about_document_folders(directory);

    if (tick_start(4000, print_watch_tick) != 0) {
        say("\n timer error\n");
        return end_with(1);
    }
    remove_leftover_print_files();
    // Every print job is handled by ticks that interrupt this wait. Asked to
    // end (SIGTERM, SIGHUP) during that removal, kelvane starts no emulator.
    const int status = run_logged("Start GEOS", "dosemu -X", nullptr, let_the_ticks_look);
    tick_stop();
    // Whatever the emulator's status, a job found or completed by now is
    // printed, unless kelvane was asked to end.
    print_watch_last_look();
    end_if_asked();
    if (command_not_started(status)) {
        say("\nThe emulator dosemu could not be started.\n");
        // -1: no shell could be started at all, which it has said.
        if (status != -1)
            say_where_the_example_emulator_is();
        return 1;
    }
    return 0;
}
