// The print-job watcher: at every tick it looks for a complete print file,
// and at the tick after it converts the job to a PDF, shows it and deletes
// the print file.
#pragma once

#include "guest_content.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

enum : std::int32_t { JOB_IDLE = 0, JOB_READY = 1, JOB_BUSY = 2 };

// The longest argument whose derived paths fit: "/userdata/DRUCKEN.CFG" adds 21.
constexpr std::size_t max_directory_length = path_size - 1 - 21;

struct watch_record {
    char print_file_path[path_size];
    char config_file_path[path_size];
    // The one field a nested tick reads: whoever moves it to JOB_BUSY owns
    // the fields below until it lets go.
    std::atomic<std::int32_t> job_state;
    std::int32_t layout_mode;
    // The print file as it was found complete, where it lies on the host:
    // only that very file is converted, and deleted after it was shown.
    char job_path[path_size];
    file_identity job_file;
    // A print file that failed to convert or could not be deleted: left
    // alone until it changes, so one bad job isn't run again at every tick.
    file_identity kept_file;
    bool kept;
    // Said once for a job that another session keeps waiting.
    bool waiting_for_turn;
    // The print file as the last look saw it incomplete, and whether that
    // version has been explained.
    file_identity incomplete_file;
    bool incomplete_seen;
    bool incomplete_explained;
};

static_assert(std::atomic<std::int32_t>::is_always_lock_free, "ticks run in a signal handler");

// Process-wide, zero-initialised, alive for the whole run.
extern watch_record watch;

// The launcher holds the job from before the tick starts until the emulator
// runs: a tick during a slow removal of the stale print file must not print
// it, nor write into the launcher's lines. print_watch_start, called as the
// emulator starts, gives the ticks their turn.
void print_watch_hold();
void print_watch_start();

// The tick procedure handed to tick_start.
void print_watch_tick();

// Once the emulator has ended and the tick is stopped: a job found complete,
// or a print file complete by now, is printed before kelvane ends.
void print_watch_last_look();
