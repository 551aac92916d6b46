// kelvane: runs GEOS in the DOS emulator and turns the guest's print jobs
// into PDFs on screen.
#include "command.hpp"
#include "console.hpp"
#include "guest_content.hpp"
#include "guest_files.hpp"
#include "print_watch.hpp"
#include "tick.hpp"
#include "turn.hpp"

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
        "Requires DOSEMU, PSUTILS, ghostscript (ps2pdf) and xreader\n"
        "The whole story: man kelvane\n");
}

// Two words where one directory was meant (a blank left unquoted) would
// have kelvane watch the wrong one and never show a job.
static void say_one_directory_only(int count, char** arguments)
{
    say("\nOne directory is all kelvane takes; it was also given: %s\n", arguments[1]);
    char joined[2 * path_size] = "";
    std::size_t length = 0;
    for (int i = 0; i < count && length < sizeof joined; ++i)
        length += static_cast<std::size_t>(
            std::snprintf(joined + length, sizeof joined - length, i == 0 ? "%s" : " %s", arguments[i]));
    char quoted[command_line_size];
    if (length < sizeof joined && shell_quote(quoted, sizeof quoted, joined))
        say("A directory whose name holds blanks goes in quotes: kelvane %s\n", quoted);
}

// The document folder given for the directory that holds it, by whatever
// name: every job would go unseen, and the next start with the right one
// would remove it. Nor can any job be seen below a file.
static bool say_if_a_document_folder(const char* directory, int document_folders)
{
    char real[PATH_MAX];
    struct stat status;
    // A name that is not there is taken as before: the start and the end say
    // that no document folder is there.
    if (realpath(directory, real) == nullptr || stat(real, &status) != 0)
        return false;
    if (!S_ISDIR(status.st_mode)) {
        say("\nNot a directory: %s; kelvane takes the directory that holds document and userdata.\n", directory);
        return true;
    }
    char* slash = std::strrchr(real, '/');
    if (!same_dos_name(slash + 1, "document") || document_folders > 0)
        return false;
    slash[slash == real ? 1 : 0] = '\0';
    char quoted[command_line_size];
    shell_quote(quoted, sizeof quoted, std::strcmp(directory, ".") == 0 ? ".." : real);
    say("\nThe directory given is a document folder itself, with no document folder in it: %s\n"
        "Give kelvane the directory that holds it: kelvane %s\n",
        directory, quoted);
    return true;
}

// Said before the last look, which may take a while: an end the user did
// not ask for shows what became of GEOS. One that never started, or that
// kelvane passed a SIGTERM or SIGHUP on to, has its own lines.
static void say_how_the_emulator_ended(int status)
{
    if (status == 0 || command_not_started(status) || end_requested() != 0)
        return;
    if (WIFSIGNALED(status)) {
        const char* name = sigabbrev_np(WTERMSIG(status));
        if (name != nullptr)
            say("\nThe emulator ended by signal SIG%s.\n", name);
        else
            say("\nThe emulator ended by signal %d.\n", WTERMSIG(status));
    } else if (WIFEXITED(status)) {
        say("\nThe emulator ended with exit status %d.\n", WEXITSTATUS(status));
    }
}

// Counts the document folders, says what cannot be listed, or lists the
// folders: one pass each, as `mode` says.
struct folder_pass {
    enum { COUNT, SAY_UNLISTED, LIST } mode;
    int count;
    const char* directory;
};

static bool look_at_folder(guest_place place, const char* path, int, void* context)
{
    auto& pass = *static_cast<folder_pass*>(context);
    pass.count += place == GUEST_FOLDER ? 1 : 0;
    if (place == GUEST_FOLDER && pass.mode == folder_pass::LIST)
        say("   %s\n", path);
    if (place == GUEST_UNLISTED && pass.mode == folder_pass::SAY_UNLISTED) {
        if (std::strcmp(path, pass.directory) == 0)
            say("\nThe directory %s cannot be listed, so print jobs are looked for in it only as document/DRUCKEN.PS,"
                " document/drucken.ps, DOCUMENT/DRUCKEN.PS and DOCUMENT/drucken.ps.\n",
                path);
        else
            say("\nThe folder %s cannot be listed, so print jobs are looked for in it only as DRUCKEN.PS and"
                " drucken.ps.\n",
                path);
    }
    return false;
}

static int count_document_folders()
{
    folder_pass pass = {folder_pass::COUNT, 0, nullptr};
    visit_guest_files(guest_print_file, look_at_folder, &pass);
    return pass.count;
}

// The guest may create the folder later; until then no print job can
// arrive, which is what a mistyped directory looks like. DOS takes every
// case of the name for one folder, so several on the host are said.
static void say_about_document_folders(const char* directory)
{
    folder_pass pass = {folder_pass::SAY_UNLISTED, 0, directory};
    visit_guest_files(guest_print_file, look_at_folder, &pass);
    if (pass.count == 0 && !guest_print_file.directory_unlisted)
        say("\nThere is no folder %s/document, where print jobs are looked for.\n", directory);
    if (pass.count < 2)
        return;
    say("\nThese folders are all the guest's DOCUMENT, as DOS names know no case;"
        " print jobs are looked for in them in this order:\n");
    pass = {folder_pass::LIST, 0, directory};
    visit_guest_files(guest_print_file, look_at_folder, &pass);
    say("Keep only one of them, so that the guest and kelvane are sure to use the same.\n");
}

// The case variants of the print file that the removal has tried: one bit
// for each case of the 8 letters of DOCUMENT and the 9 of DRUCKEN.PS.
static std::uint64_t tried_leftovers[(1 << (8 + 9)) / 64];

static bool remove_leftover(guest_place place, const char* path, int variant, void* context)
{
    const bool tried = (tried_leftovers[variant / 64] >> variant % 64 & 1) != 0;
    if ((place != GUEST_FILE && place != GUEST_GUESS) || tried)
        return false;
    // A guessed name is removed only where it opens: it may not be there.
    const int fd = open_for_reading(path);
    struct stat status;
    if (place == GUEST_GUESS && fd < 0)
        return false;
    tried_leftovers[variant / 64] |= std::uint64_t{1} << variant % 64;
    *static_cast<int*>(context) += 1;
    if (fd >= 0 && fstat(fd, &status) == 0 && last_byte(fd, status) == 4)
        say("A print job left from an earlier run: %s\n", path);
    if (fd >= 0)
        close(fd);
    run_logged("Remove eventually existing PS file", "rm %s", path);
    if (lstat(path, &status) == 0)
        say("\nThe print file is still there after rm; it is a job like any other now, shown at the first look"
            " once complete: %s\n",
            path);
    return false;
}

// Every print file left from an earlier run, in whatever case and folder,
// each removed once; listed again until a listing brings nothing new. With
// none, rm is run on the name as DOS spells it, and says so.
static void remove_leftover_print_files()
{
    int removed = 0, before;
    do {
        before = removed;
        visit_guest_files(guest_print_file, remove_leftover, &removed);
    } while (removed > before);
    if (removed == 0)
        run_logged("Remove eventually existing PS file", "rm %s", watch.print_file_path);
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
        say("\nUnknown option: %s (kelvane --help shows the usage)\n"
            "A directory whose name begins with - follows --: kelvane -- %s\n",
            directory, directory);
        return end_with(1);
    }
    const int directory_index = options_ended ? 2 : 1;
    if (argc > directory_index + 1) {
        say_one_directory_only(argc - directory_index, argv + directory_index);
        return end_with(1);
    }

    // An empty one would put the print file at the root, for rm to delete.
    if (directory[0] == '\0') {
        say("\nThe directory name is empty.\n");
        return end_with(1);
    }
    // A cut path would name another file, for rm to delete among others.
    if (std::strlen(directory) > max_directory_length) {
        say("\nThe directory name is too long: %zu bytes, at most %zu are allowed.\n",
            std::strlen(directory), max_directory_length);
        return end_with(1);
    }
    guest_files_start(directory);
    int lock;
    if (say_if_a_document_folder(directory, count_document_folders()) || !hold_guest_directory(directory, &lock))
        return end_with(1);

    // Inherited as ignored, SIGCHLD would have the kernel reap the commands
    // before kelvane could learn how they ended.
    std::signal(SIGCHLD, SIG_DFL);

    print_watch_hold();
    std::snprintf(watch.print_file_path, sizeof watch.print_file_path, "%s/document/DRUCKEN.PS", directory);
    std::snprintf(watch.config_file_path, sizeof watch.config_file_path, "%s/userdata/DRUCKEN.CFG", directory);
    say("Print file name: %s\nConfig file name: %s\n", watch.print_file_path, watch.config_file_path);
    say_about_document_folders(directory);

    take_over_streams(lock);
    if (tick_start(4000, print_watch_tick) != 0) {
        say("\n timer error\n");
        return end_with(1);
    }
    remove_leftover_print_files();
    // Every print job is handled by ticks that interrupt this wait. Asked to
    // end (SIGTERM, SIGHUP) during that removal, kelvane starts no emulator.
    const int status = run_logged("Start GEOS", "dosemu -X", nullptr, print_watch_start, true);
    tick_stop();
    say_how_the_emulator_ended(status);
    // Whatever the emulator's status, a job found or completed by now is
    // printed, unless kelvane was asked to end.
    print_watch_last_look();
    end_if_asked();
    // Said again at the end, where the emulator's own lines cannot bury it.
    if (!command_not_started(status) && !guest_print_file.folder_seen && !guest_print_file.directory_unlisted)
        say("\nThere was no folder %s/document during the whole run, so no print job could be seen; %s may be"
            " mistyped.\n",
            directory, directory);
    if (command_not_started(status)) {
        say("\nThe emulator dosemu could not be started.\n");
        // -1: no shell could be started at all, which it has said.
        if (status != -1)
            say_where_the_example_emulator_is();
        return 1;
    }
    return 0;
}
