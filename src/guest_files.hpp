// The guest's files as DOS names them: FOLDER\FILE below the directory
// given, each of the two names matched without regard to case, as on a DOS
// drive. DOSEMU creates lower-case names on the host, DOSBox upper-case ones,
// and a folder copied in keeps whatever case it had.
#pragma once

#include "print_watch.hpp"

#include <sys/types.h>
#include <time.h>

// Enough for a DOS name (8.3) and its terminator.
constexpr int dos_name_size = 16;
// Case variants of one name looked at in a directory; more are not seen.
constexpr int max_matches = 8;

using host_name = char[dos_name_size];

// A directory as it was when its entries were last read.
struct directory_state {
    bool known;
    bool exists;
    // Changed long enough before it was read that no entry can have come in
    // the same timestamp: an unchanged time then means unchanged entries.
    bool settled;
    dev_t device;
    ino_t inode;
    struct timespec modified;
    struct timespec changed;
};

// One file of the guest's, with what the last looks found of it, so that a
// look reads a directory only once it has changed.
struct guest_file {
    const char* folder; // as DOS spells it, "document"
    const char* file;   // "DRUCKEN.PS"
    directory_state parent;
    int folder_count;
    host_name folders[max_matches]; // host names, in the order they are looked in
    directory_state folder_states[max_matches];
    bool folder_has_file[max_matches];
    host_name first_files[max_matches];
};

// The guest's print file (DOCUMENT\DRUCKEN.PS) and layout file
// (USERDATA\DRUCKEN.CFG).
extern guest_file guest_print_file;
extern guest_file guest_layout_file;

// Sets the directory given, below which both are looked for; called once,
// before the tick starts.
void guest_files_start(const char* directory);

// True when `name` is `dos_name` in any case.
bool same_dos_name(const char* name, const char* dos_name);

// Opens the guest's file for reading without blocking and writes its host
// path into `path` (path_size bytes): the first that exists in this order,
// the folder spelled as DOS spells it first, then the others in byte order,
// and within a folder the file so spelled first, then the others in byte
// order. -1 when there is none, or it cannot be opened. No heap, and a
// system call or two besides the open while no directory has changed.
int open_guest_file(guest_file& file, char* path);

// How many folders of the file's folder name there are now (up to
// max_matches), read afresh; `folders` gets their host names in order.
int list_guest_folders(guest_file& file);

// Every match of the file in every such folder, read afresh, in the order
// above; returns how many were written into `paths` (at most `max`).
int list_guest_files(guest_file& file, char (*paths)[path_size], int max);
