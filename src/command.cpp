#include "command.hpp"

#include "console.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
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
    if (path[0] != '\0' && std::strchr("-%@ \t\n\r\f\v", path[0]) != nullptr)
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

// Holds off the tick (SIGALRM), and a SIGTERM or SIGHUP to pass on, while a
// few steps run, and lets them in again.
struct held_signals {
    sigset_t mask;
};

static void hold_signals(held_signals* held)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGALRM);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, &held->mask);
}

static void release_signals(const held_signals& held)
{
    sigprocmask(SIG_SETMASK, &held.mask, nullptr);
}

// The signals as kelvane found them, which every command gets back.
static struct {
    bool taken;
    sigset_t mask;
    bool pipe_ignored;
} found_signals;

// The commands running now, outermost (the emulator) first, changed only
// while the signals are held; 0 where a spawn failed.
static volatile pid_t running_commands[4];
static volatile sig_atomic_t running;
static volatile sig_atomic_t end_signal;

static void end_requested_by(int signal_number)
{
    const int saved_errno = errno;
    // The first decides how kelvane ends; each is passed on.
    if (end_signal == 0)
        end_signal = signal_number;
    for (int i = 0; i < running && i < static_cast<int>(std::size(running_commands)); ++i) {
        if (running_commands[i] > 0)
            kill(running_commands[i], signal_number);
    }
    errno = saved_errno;
}

void take_over_signals()
{
    sigprocmask(SIG_BLOCK, nullptr, &found_signals.mask);
    found_signals.pipe_ignored = std::signal(SIGPIPE, SIG_IGN) == SIG_IGN;
    found_signals.taken = true;

    struct sigaction pass = {};
    pass.sa_handler = end_requested_by;
    sigemptyset(&pass.sa_mask);
    sigaddset(&pass.sa_mask, SIGALRM);
    sigaddset(&pass.sa_mask, SIGTERM);
    sigaddset(&pass.sa_mask, SIGHUP);
    for (const int signal_number : {SIGTERM, SIGHUP}) {
        struct sigaction before;
        // Started with it ignored (nohup), kelvane keeps it so.
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal_number, &pass, nullptr);
    }
}

// The streams a command gets in place of kelvane's: /dev/null for its
// input, and also for its output, and its error output where that is the
// same file, once kelvane's output has no reader (`kelvane DIR 2>&1 | head`
// quit): a command writing there would die of SIGPIPE.
static struct {
    bool taken;
    bool error_is_output;
    posix_spawn_file_actions_t input;
    posix_spawn_file_actions_t input_output;
    posix_spawn_file_actions_t all;
    bool emulator_locks;
    posix_spawn_file_actions_t emulator;
} streams;

void take_over_streams(int emulator_lock)
{
    // A dup2 onto itself clears close-on-exec in the child alone (glibc 2.29 on).
    streams.emulator_locks = emulator_lock >= 0;
    posix_spawn_file_actions_init(&streams.emulator);
    if (streams.emulator_locks)
        posix_spawn_file_actions_adddup2(&streams.emulator, emulator_lock, emulator_lock);
    posix_spawn_file_actions_t* const actions[] = {&streams.input, &streams.input_output, &streams.all};
    for (int i = 0; i < 3; ++i) {
        posix_spawn_file_actions_init(actions[i]);
        posix_spawn_file_actions_addopen(actions[i], STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (i >= 1)
            posix_spawn_file_actions_addopen(actions[i], STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (i >= 2)
            posix_spawn_file_actions_addopen(actions[i], STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    struct stat output, error;
    streams.error_is_output = fstat(STDOUT_FILENO, &output) == 0 && fstat(STDERR_FILENO, &error) == 0
        && output.st_dev == error.st_dev && output.st_ino == error.st_ino;
    streams.taken = true;
}

// A pipe whose reader has gone shows POLLERR, a terminal hung up POLLHUP.
static bool output_gone()
{
    struct pollfd output = {STDOUT_FILENO, 0, 0};
    int ready;
    do
        ready = poll(&output, 1, 0);
    while (ready < 0 && errno == EINTR);
    return ready == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
}

static const posix_spawn_file_actions_t* streams_for(bool keeps_streams)
{
    if (keeps_streams)
        return streams.taken && streams.emulator_locks ? &streams.emulator : nullptr;
    if (!streams.taken)
        return nullptr;
    if (!output_gone())
        return &streams.input;
    return streams.error_is_output ? &streams.all : &streams.input_output;
}

int end_requested()
{
    return end_signal;
}

void end_if_asked()
{
    const int signal_number = end_signal;
    if (signal_number == 0)
        return;
    std::signal(signal_number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
    std::_Exit(128 + signal_number);
}

// Runs `command` with /bin/sh and waits for it, as system() does: SIGINT and
// SIGQUIT are ignored here meanwhile, so the terminal's Ctrl-C reaches only
// the command, and the command gets them as kelvane found them. Not system()
// itself, because ticks run commands inside the emulator's: glibc's system()
// holds a lock while it sets those signals aside and back, and a tick that
// lands in that moment would wait for it for ever. Nested calls count
// instead, with the tick, SIGTERM and SIGHUP held off while the count, the
// actions and the running commands change.
static int run_command(const char* title, const char* command, void (*starting)(), bool keeps_streams)
{
    static struct sigaction saved_interrupt, saved_quit;
    // The shell becomes the command, so that a SIGTERM passed on to it
    // reaches the command itself, whichever shell sh is.
    char line[command_line_size + 8];
    std::snprintf(line, sizeof line, "exec %s", command);

    held_signals held;
    hold_signals(&held);
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

    // The child gets the signal mask kelvane was started with, or else the
    // one it runs with (a tick's handler adds nothing to it), never the
    // signals held here.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, found_signals.taken ? &found_signals.mask : &held.mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char shell[] = "sh", option[] = "-c";
    char* const arguments[] = {shell, option, line, nullptr};
    pid_t child = 0;
    // Asked to end, kelvane starts nothing more: the user is leaving. Looked
    // at, and the line written, while the signals are held, so that no line
    // stands for a command that a signal stopped from starting. (A SIGTERM
    // waits meanwhile for a stalled terminal to take the line.)
    const bool starts = end_signal == 0;
    if (starts) {
        say("%s:\n   - %s\n", title, command);
        if (starting != nullptr)
            starting();
    }
    const int spawn_error =
        starts ? posix_spawn(&child, "/bin/sh", streams_for(keeps_streams), &attributes, arguments, environ) : 0;
    const bool spawned = starts && spawn_error == 0;
    if (starts && !spawned)
        say("\nThe shell could not be started for it: %s\n", std::strerror(spawn_error));
    posix_spawnattr_destroy(&attributes);
    const int depth = running - 1;
    if (depth < static_cast<int>(std::size(running_commands)))
        running_commands[depth] = spawned ? child : 0;
    release_signals(held);

    // A tick interrupts this wait; it goes on waiting after it. WNOWAIT
    // leaves the ended command unreaped, so that its pid cannot be another
    // process's while it is still listed as running.
    siginfo_t ended;
    bool waited = spawned;
    while (waited && waitid(P_PID, child, &ended, WEXITED | WNOWAIT) != 0)
        waited = errno == EINTR;

    hold_signals(&held);
    int status = -1;
    if (waited && waitpid(child, &status, 0) != child)
        status = -1;
    if (depth < static_cast<int>(std::size(running_commands)))
        running_commands[depth] = 0;
    if (--running == 0) {
        sigaction(SIGINT, &saved_interrupt, nullptr);
        sigaction(SIGQUIT, &saved_quit, nullptr);
    }
    release_signals(held);
    return status;
}

static bool compose_command(char* command, const char* title, const char* format, const char* path)
{
    char quoted[command_line_size];
    const bool quoted_whole = shell_quote(quoted, sizeof quoted, path != nullptr ? path : "");
    const int length = std::snprintf(command, command_line_size, format, quoted);
    if (!quoted_whole || length < 0 || static_cast<std::size_t>(length) >= command_line_size) {
        say("\nCommand line too long for: %s\n", title);
        return false;
    }
    return true;
}

int run_logged(const char* title, const char* format, const char* path, void (*starting)(), bool keeps_streams)
{
    char command[command_line_size];
    return compose_command(command, title, format, path) ? run_command(title, command, starting, keeps_streams)
                                                         : -1;
}

bool command_succeeded(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool command_not_started(int status)
{
    return status == -1 || (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127));
}

bool command_ran(int status)
{
    return !command_not_started(status) && WIFEXITED(status)
        && !(WEXITSTATUS(status) > 128 && WEXITSTATUS(status) < 128 + NSIG);
}
