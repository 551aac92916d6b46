// The guest's files as DOS names them: FOLDER\FILE below the directory
// given, each of the two names matched without regard to case, as on a DOS
// drive. DOSEMU creates lower-case names on the host, DOSBox upper-case ones,
// and a folder copied in keeps whatever case it had. Every look lists the
// directories afresh: no timestamp of theirs is trusted.
#pragma once

#include "guest_content.hpp"

// One file of the guest's, and what the looks since the start have met.
struct guest_file {
    const char* folder; // as kelvane spells it, "document"
    const char* file;   // "DRUCKEN.PS"
    bool folder_seen;
    bool directory_unlisted;
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

// What a pass over the guest's files meets, in the finder's order.
enum guest_place {
    GUEST_UNLISTED, // a directory that can be entered but not listed: only the
                    // name as spelled here, in upper and in lower case is tried in it
    GUEST_FOLDER,   // a folder of the file's folder name
    GUEST_FILE,     // a file of the name, seen in its folder's listing
    GUEST_GUESS,    // a name tried in a folder that cannot be listed; it may not exist
};

// Called with each place and its host path; `variant` tells the case
// variants of one path from each other (0 up to 1 << (letters of folder and
// file)). Returns true to end the pass.
using guest_visitor = bool (*)(guest_place place, const char* path, int variant, void* context);

// Visits the folders and files in the finder's order: the folder spelled
// as kelvane spells it first, then the others in byte order; within a
// folder the file spelled so first, then the others in byte order. True
// when the visitor ended the pass.
bool visit_guest_files(guest_file& file, guest_visitor visitor, void* context);

// Opens the first of the guest's files in that order for reading without
// blocking, and writes its host path into `path` (path_size bytes); -1 when
// there is none, or the first cannot be opened. No heap; four system calls
// for each directory listed.
int open_guest_file(guest_file& file, char* path);
