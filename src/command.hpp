// Logged commands: every external command is composed from a fixed format
// with at most one path in it, written to standard output and run by the
// shell; and the signals that kelvane passes on to them.
#pragma once

#include <cstddef>

// Room for any command line built from a path of up to 255 characters, even
// one in which every character needs quoting.
constexpr std::size_t command_line_size = 2048;

// Writes `path` into `out` so that the shell reads it back as exactly that
// one word: unchanged when it holds only plain characters, single-quoted
// otherwise, with "./" in front when it begins with '-', '%' or '@', which
// the tools would take for an option, a device such as ghostscript's
// %pipe%, or a file of options, or with white space, which ghostscript
// drops from the start of a file name. Returns false, leaving `out` empty, when it
// does not fit.
bool shell_quote(char* out, std::size_t out_size, const char* path);

// Composes the command line from `format` (a format with at most one %s)
// and the protected `path` (may be null when `format` has none), writes
// "title:\n   - command\n", runs it with /bin/sh -c as system() would,
// waits for it and returns its wait status. Returns -1, after saying so,
// when the line does not fit (a cut command line could name another file);
// once kelvane has been asked to end it writes and starts nothing and
// returns -1, as it does when the shell cannot be started. `starting`, when
// given, is called with the tick held off just before the command starts.
// Once take_over_streams has run, a command reads /dev/null, so that none
// waits for the terminal, and writes into /dev/null where kelvane's
// standard output has no reader any more; unless it `keeps_streams` (the
// emulator), which alone gets the descriptor handed to take_over_streams.
int run_logged(const char* title, const char* format, const char* path, void (*starting)() = nullptr,
               bool keeps_streams = false);

// True for the status of a command that ran and exited with 0.
bool command_succeeded(int status);

// True when the shell could not start the command at all: not found (127),
// not executable (126), or no shell (-1).
bool command_not_started(int status);

// True when the command ran and ended by itself, whatever its exit status;
// false when the shell could not start it or it was killed by a signal,
// which sh reports as 128 + the signal's number.
bool command_ran(int status);

// Notes the signal mask and SIGPIPE's action that kelvane was started with,
// which every command gets back, and ignores SIGPIPE: from now on a closed
// standard output (`kelvane DIR | head`) does not end kelvane, its lines are
// dropped and the jobs go on. A SIGTERM or SIGHUP, unless kelvane was
// started with it ignored, is passed on to the commands running then (the
// emulator, and a tick's command), which kelvane goes on waiting for.
void take_over_signals();

// Prepares the standard streams that the commands get in place of
// kelvane's own (see run_logged), and the emulator's: it inherits
// `emulator_lock` (unless -1) although that is close-on-exec. Called before
// the tick starts, since the spawn's file actions take the heap.
void take_over_streams(int emulator_lock);

// The first SIGTERM or SIGHUP that asked kelvane to end, once one has come;
// else 0.
int end_requested();

// Ends kelvane by the signal that asked it to end, if one did; returns
// otherwise.
void end_if_asked();
