#include "command.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

static bool is_plain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || std::strchr("/._-+,:@%=", c) != nullptr;
}

bool shell_quote(char* out, std::size_t out_size, const char* path)
{
    std::size_t length = 0;
    bool overflow = false;
    auto put = [&](char c) {
        if (length + 1 < out_size)
            out[length++] = c;
        else
            overflow = true;
    };
    auto put_text = [&](const char* text) {
        while (*text != '\0')
            put(*text++);
    };

    bool plain = path[0] != '\0';
    for (const char* p = path; *p != '\0'; ++p)
        plain = plain && is_plain(*p);

    if (!plain)
        put('\'');
    if (path[0] == '-')
        put_text("./");
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\'')
            put_text("'\\''");
        else
            put(*p);
    }
    if (!plain)
        put('\'');

    if (out_size > 0)
        out[overflow ? 0 : length] = '\0';
    return !overflow && out_size > 0;
}

// Holds off the tick (SIGALRM) while a few steps run, and lets it in again.
struct held_tick {
    sigset_t mask;
};

static void hold_tick(held_tick* held)
{
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, &held->mask);
}

static void release_tick(const held_tick& held)
{
    sigprocmask(SIG_SETMASK, &held.mask, nullptr);
}

// Without SA_RESTART a tick cuts a write that a stalled terminal or pipe
// holds up: the rest is written after it. A tick never writes into the
// middle of a line, since only the holder of the job claim writes.
static void write_whole(const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t put = write(STDOUT_FILENO, text, length);
        if (put > 0) {
            text += put;
            length -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EAGAIN) {
            // A terminal left non-blocking by another program.
            struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
            poll(&out, 1, -1);
        } else if (put == 0 || errno != EINTR) {
            return; // a closed pipe, or an output that takes nothing more
        }
    }
}

void say(const char* format, ...)
{
    char text[command_line_size + 256];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0)
        write_whole(text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

// The signals as kelvane found them, which every command gets back.
static struct {
    bool taken;
    sigset_t mask;
    bool pipe_ignored;
} found_signals;

void take_over_signals()
{
    sigprocmask(SIG_BLOCK, nullptr, &found_signals.mask);
    found_signals.pipe_ignored = std::signal(SIGPIPE, SIG_IGN) == SIG_IGN;
    found_signals.taken = true;
}

// Runs `command` with /bin/sh and waits for it, as system() does: SIGINT and
// SIGQUIT are ignored here meanwhile, so the terminal's Ctrl-C reaches only
// the command, and the command gets them as kelvane found them. Not system()
// itself, because ticks run commands inside the emulator's: glibc's system()
// holds a lock while it sets those signals aside and back, and a tick that
// lands in that moment would wait for it for ever. Nested calls count
// instead, with the tick held off while the count and the actions change.
int run_command(const char* command)
{
    static int running;
    static struct sigaction saved_interrupt, saved_quit;

    held_tick held;
    hold_tick(&held);
    if (running++ == 0) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &saved_interrupt);
        sigaction(SIGQUIT, &ignore, &saved_quit);
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    if (saved_interrupt.sa_handler != SIG_IGN)
        sigaddset(&defaults, SIGINT);
    if (saved_quit.sa_handler != SIG_IGN)
        sigaddset(&defaults, SIGQUIT);
    if (!found_signals.pipe_ignored)
        sigaddset(&defaults, SIGPIPE);
    release_tick(held);

    // The child gets the signal mask kelvane was started with, or else the
    // one it runs with (a tick's handler adds nothing to it), never the tick
    // held off.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, found_signals.taken ? &found_signals.mask : &held.mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char shell[] = "sh", option[] = "-c";
    char* const arguments[] = {shell, option, const_cast<char*>(command), nullptr};
    pid_t child;
    int status = -1;
    if (posix_spawn(&child, "/bin/sh", nullptr, &attributes, arguments, environ) == 0) {
        // A tick interrupts this wait; it goes on waiting after it.
        while (waitpid(child, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    posix_spawnattr_destroy(&attributes);

    hold_tick(&held);
    if (--running == 0) {
        sigaction(SIGINT, &saved_interrupt, nullptr);
        sigaction(SIGQUIT, &saved_quit, nullptr);
    }
    release_tick(held);
    return status;
}

bool log_command(char* command, const char* title, const char* format, const char* path)
{
    char quoted[command_line_size];
    const bool quoted_whole = shell_quote(quoted, sizeof quoted, path != nullptr ? path : "");
    const int length = std::snprintf(command, command_line_size, format, quoted);
    if (!quoted_whole || length < 0 || static_cast<std::size_t>(length) >= command_line_size) {
        say("\nCommand line too long for: %s\n", title);
        return false;
    }
    say("%s:\n   - %s\n", title, command);
    return true;
}

int run_logged(const char* title, const char* format, const char* path)
{
    char command[command_line_size];
    return log_command(command, title, format, path) ? run_command(command) : -1;
}

bool command_succeeded(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool command_not_started(int status)
{
    return status == -1 || (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127));
}
