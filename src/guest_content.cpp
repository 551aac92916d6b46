#include "guest_content.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int open_for_reading(const char* path)
{
    int fd;
    do
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

static ssize_t read_retrying(int fd, char* buffer, std::size_t count)
{
    ssize_t got;
    do
        got = read(fd, buffer, count);
    while (got < 0 && errno == EINTR);
    return got;
}

int last_byte(int fd, const struct stat& status)
{
    if (!S_ISREG(status.st_mode) || status.st_size < 1)
        return -1;
    unsigned char byte;
    ssize_t got;
    do
        got = pread(fd, &byte, 1, status.st_size - 1);
    while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

std::int32_t layout_number(const char* bytes, std::size_t count)
{
    std::size_t i = 0;
    while (i < count && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < count && (bytes[i] == '-' || bytes[i] == '+'))
        negative = bytes[i++] == '-';
    std::int32_t number = 0;
    for (; i < count && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
        const std::int32_t digit = bytes[i] - '0';
        // Saturates rather than overflows, for callers with more than 5 bytes.
        number = number > (INT32_MAX - digit) / 10 ? INT32_MAX : number * 10 + digit;
    }
    return negative ? -number : number;
}

std::int32_t read_layout_number(int fd)
{
    char bytes[5];
    std::size_t count = 0;
    while (count < sizeof bytes) {
        const ssize_t got = read_retrying(fd, bytes + count, sizeof bytes - count);
        if (got <= 0)
            break;
        count += static_cast<std::size_t>(got);
    }
    return layout_number(bytes, count);
}

file_identity identity_of(const struct stat& status)
{
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

bool identify(const char* path, file_identity* identity)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    *identity = identity_of(status);
    return true;
}

bool same_time(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const file_identity& a, const file_identity& b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size && same_time(a.modified, b.modified);
}

