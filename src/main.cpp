// kelvane: runs GEOS in the DOS emulator and turns the guest's print jobs
// into PDFs on screen.
#include "command.hpp"
#include "print_watch.hpp"
#include "tick.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>

#ifndef KELVANE_VERSION
#define KELVANE_VERSION "unknown"
#endif

static void write_help()
{
    std::printf("Starts DOSEMU2 and watches for the DRUCKEN.PS file in the document folder\n"
                "If the PS file will be found it will be printed as normal or as brochure\n"
                "print-out\n\n"
                "Usage:   kelvane <absolute GEOS document directory>\n"
                "Example: kelvane /home/tovi/dos/ZUZ/DOCUMENT\n\n"
                "Requires DOSEMU, PSUTILS and evince\n");
}

int main(int argc, char** argv)
{
    // Line by line even into a pipe or a file, so each tick's lines show
    // when they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::printf("\nkelvane " KELVANE_VERSION " - GEOS print jobs from DOSEMU to PDF\n"
                "---------------------------------\n\n");
    if (argc <= 1) {
        write_help();
        return 0;
    }

    const char* directory = argv[1];
    // A cut path would name another file, for rm to delete among others.
    if (std::strlen(directory) > max_directory_length) {
        std::printf("\nThe directory name is too long: %zu characters, at most %zu are allowed.\n",
                    std::strlen(directory), max_directory_length);
        return 1;
    }

    // Inherited as ignored, SIGCHLD would have the kernel reap the commands
    // before kelvane could learn how they ended.
    std::signal(SIGCHLD, SIG_DFL);

    watch.job_state = JOB_IDLE;
    std::snprintf(watch.print_file_path, sizeof watch.print_file_path, "%s/document/DRUCKEN.PS", directory);
    std::snprintf(watch.config_file_path, sizeof watch.config_file_path, "%s/userdata/DRUCKEN.CFG", directory);
    std::printf("Print file name: %s\n", watch.print_file_path);
    std::printf("Config file name: %s\n", watch.config_file_path);

    if (tick_start(4000, print_watch_tick) != 0) {
        std::printf("\n timer error\n");
        return 1;
    }
    run_logged("Remove eventually existing PS file", "rm %s", watch.print_file_path);
    // Every print job is handled by ticks that interrupt this wait.
    run_logged("Start GEOS", "dosemu -X", nullptr);
    tick_stop();
    return 0;
}
