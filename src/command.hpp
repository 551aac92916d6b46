// Logged commands: every external command is composed from a fixed format
// with at most one path in it, written to standard output and run by the
// shell.
#pragma once

#include <cstddef>

// Room for any command line built from a path of up to 255 characters, even
// one in which every character needs quoting.
constexpr std::size_t command_line_size = 2048;

// Writes `path` into `out` so that the shell reads it back as exactly that
// one word: unchanged when it holds only plain characters, single-quoted
// otherwise, with "./" in front when it begins with '-' so that no tool takes
// it for an option. Returns false, leaving `out` empty, when it does not fit.
bool shell_quote(char* out, std::size_t out_size, const char* path);

// Composes the command line from `format` (a format with at most one %s)
// and the protected `path` (may be null when `format` has none), writes
// "title:\n   - command\n", flushes standard output so that the line stands
// before whatever the command prints, runs it with /bin/sh -c as system()
// would, waits for it and returns its wait status; -1 when the line does not
// fit or the shell could not be started.
int run_logged(const char* title, const char* format, const char* path);

// Writes to standard output and flushes it, with the tick held off so that
// it cannot cut the write short.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True for the status of a command that ran and exited with 0.
bool command_succeeded(int status);
