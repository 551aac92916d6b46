#include "command.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
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

// Runs `command` with /bin/sh and waits for it, as system() does: SIGINT and
// SIGQUIT are ignored here meanwhile, so the terminal's Ctrl-C reaches only
// the command. Not system() itself, because ticks run commands inside the
// emulator's: glibc's system() holds a lock while it sets those signals
// aside and back, and a tick that lands in that moment would wait for it for
// ever. Nested calls count instead, and each saves what it replaces itself.
static int run_shell(const char* command)
{
    static int running;
    const bool outermost = running++ == 0;
    struct sigaction saved_interrupt, saved_quit;
    if (outermost) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &saved_interrupt);
        sigaction(SIGQUIT, &ignore, &saved_quit);
    }

    // The command gets SIGINT and SIGQUIT back, and no blocked signal from
    // the handler it was started in.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
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

    --running;
    if (outermost) {
        sigaction(SIGINT, &saved_interrupt, nullptr);
        sigaction(SIGQUIT, &saved_quit, nullptr);
    }
    return status;
}

int run_logged(const char* title, const char* format, const char* path)
{
    char quoted[command_line_size];
    char command[command_line_size];
    if (!shell_quote(quoted, sizeof quoted, path != nullptr ? path : "")) {
        std::printf("\nCommand line too long for: %s\n", title);
        return -1;
    }
    const int length = std::snprintf(command, sizeof command, format, quoted);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
        std::printf("\nCommand line too long for: %s\n", title);
        return -1;
    }
    std::printf("%s:\n   - %s\n", title, command);
    std::fflush(stdout);

    return run_shell(command);
}

bool command_succeeded(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
