// The turn: sessions of kelvane share the fixed files under /tmp, so only
// one at a time converts and shows a job, the one holding a lock on /tmp
// itself. And one session a guest: each holds a lock on its guest directory.
#pragma once

// Locks the guest directory `directory` for the whole run. False, after
// saying so, where another session or the emulator that a killed one left
// holds it. Otherwise `*lock` is the close-on-exec descriptor that holds
// it, for the emulator alone to inherit, or -1 where no lock can be had
// (a directory that cannot be opened, a file system without locks).
bool hold_guest_directory(const char* directory, int* lock);

// Takes the turn for the job whose print file is `job_path`. Returns false
// while another holds it, having said so once while `*said` was false; a
// tick never waits for it, the last look (`wait`) does. On success `*turn`
// is the descriptor to give back, or -1 where no lock can be had at all.
bool take_turn(bool wait, const char* job_path, bool* said, int* turn);

// Gives the turn back once the job is done.
void give_back_turn(int turn);
