#include "command.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

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

    // A tick runs its commands while it interrupts the emulator's system(),
    // which blocks SIGCHLD; the shell would pass that block on to the viewer
    // and the converters.
    sigset_t child_signal, mask;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &child_signal, &mask);
    const int status = std::system(command);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    return status;
}

bool command_succeeded(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
