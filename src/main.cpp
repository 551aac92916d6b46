// kelvane: runs GEOS in the DOS emulator and turns the guest's print jobs
// into PDFs on screen.
#include "command.hpp"
#include "console.hpp"
#include "print_watch.hpp"
#include "tick.hpp"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <strings.h>
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

// The guest may create it later; until then no print job can arrive, which
// is what a mistyped directory, or its document folder given, looks like.
// DOSBox creates a missing one upper-case, where no job is looked for.
static void say_if_no_document_folder(const char* directory)
{
    char folder[path_size];
    std::snprintf(folder, sizeof folder, "%s/document", directory);
    struct stat status;
    if (stat(folder, &status) == 0 && S_ISDIR(status.st_mode))
        return;
    say("\nThere is no folder %s, where print jobs are looked for.\n", folder);
    DIR* entries = opendir(directory);
    if (entries == nullptr)
        return;
    while (const struct dirent* entry = readdir(entries)) {
        if (strcasecmp(entry->d_name, "document") != 0 || std::strcmp(entry->d_name, "document") == 0)
            continue;
        char other[path_size + sizeof entry->d_name];
        std::snprintf(other, sizeof other, "%s/%s", directory, entry->d_name);
        if (stat(other, &status) == 0 && S_ISDIR(status.st_mode)) {
            say("There is %s: rename it to document while the emulator is not running.\n", other);
            break;
        }
    }
    closedir(entries);
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
    say_if_no_document_folder(directory);

    if (tick_start(4000, print_watch_tick) != 0) {
        say("\n timer error\n");
        return end_with(1);
    }
    run_logged("Remove eventually existing PS file", "rm %s", watch.print_file_path);
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
