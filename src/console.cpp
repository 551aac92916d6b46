#include "console.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

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
    // Room for the longest text: a title with a whole command line.
    char text[4096];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0)
        write_whole(text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}
