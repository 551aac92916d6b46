// What kelvane reads of the guest's files: the last byte of the print file,
// the number at the start of the layout file, and what tells one version of
// a file from another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

// Room for a path of the guest's: at most 255 bytes and the terminator.
constexpr std::size_t path_size = 256;

struct file_identity {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
};

// Opens `path` for reading without blocking, so that a FIFO or a device
// there cannot hang a tick; -1 when it cannot.
int open_for_reading(const char* path);

// The value of the last byte of the open file `fd`, whose fstat gave
// `status`, or -1 when it yields none (empty, unreadable, or not a regular
// file). Reads that one byte and nothing else.
int last_byte(int fd, const struct stat& status);

// The number at the start of `bytes`, read as atoi reads a string, taking
// nothing beyond `count` bytes.
std::int32_t layout_number(const char* bytes, std::size_t count);

// Reads at most 5 bytes of the open layout file and returns their number.
std::int32_t read_layout_number(int fd);

file_identity identity_of(const struct stat& status);

// The identity of the file at `path` now; false when there is none.
bool identify(const char* path, file_identity* identity);

bool same_time(const struct timespec& a, const struct timespec& b);

// The same file, of the same size and modification time.
bool same_file(const file_identity& a, const file_identity& b);
