// What must hold for any bytes at all: the checks shared by the libFuzzer
// targets in fuzz/ and by the replay of their corpora in the unit tests
// (tests/fuzz_regressions.cpp). Each check returns nullptr when the property
// holds, or a short description of the first one that does not.
#pragma once

#include "command.hpp"
#include "print_watch.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz_properties {

// The most bytes a layout file gives away, and the longest path the watcher
// ever quotes (path_size less the terminator).
constexpr std::size_t layout_bytes = 5;
constexpr std::size_t longest_path = path_size - 1;

// A regular file in memory holding `bytes`, `hole` zero bytes in front;
// -1 when the system refuses.
inline int file_holding(const std::uint8_t* bytes, std::size_t size, off_t hole = 0)
{
    const int fd = memfd_create("kelvane-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(fd, bytes + done, size - done, hole + static_cast<off_t>(done));
        if (put <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(put);
    }
    if (size == 0 && hole > 0 && ftruncate(fd, hole) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The layout number as the C library's atoi reads the first five bytes.
inline int reference_layout(const std::uint8_t* bytes, std::size_t size)
{
    char text[layout_bytes + 1] = {};
    std::memcpy(text, bytes, size < layout_bytes ? size : layout_bytes);
    return std::atoi(text);
}

// The layout file as a regular file and as a pipe whose writer wrote more
// than five bytes: the same number as atoi, and never more than five bytes
// taken.
inline const char* check_layout(const std::uint8_t* bytes, std::size_t size)
{
    const std::size_t taken = size < layout_bytes ? size : layout_bytes;
    const int expected = reference_layout(bytes, size);
    if (layout_number(reinterpret_cast<const char*>(bytes), taken) != expected)
        return "layout_number differs from atoi on the first five bytes";

    const int file = file_holding(bytes, size);
    if (file < 0)
        return nullptr;  // no memfd here: nothing to say about the reader
    const char* failure = nullptr;
    if (lseek(file, 0, SEEK_SET) != 0 || read_layout_number(file) != expected)
        failure = "read_layout_number differs from atoi on a regular file";
    else if (lseek(file, 0, SEEK_CUR) != static_cast<off_t>(taken))
        failure = "read_layout_number read past the fifth byte of a regular file";
    close(file);
    if (failure != nullptr)
        return failure;

    // A pipe holds at least a page: enough for any input cut to 4096 bytes.
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return nullptr;
    const std::size_t offered = size < 4096 ? size : 4096;
    if (offered > 0 && write(ends[1], bytes, offered) != static_cast<ssize_t>(offered)) {
        close(ends[0]);
        close(ends[1]);
        return nullptr;
    }
    int left = -1;
    const int got = read_layout_number(ends[0]);
    const bool counted = ioctl(ends[0], FIONREAD, &left) == 0;
    close(ends[0]);
    close(ends[1]);
    if (got != expected)
        return "read_layout_number differs from atoi on a pipe";
    if (counted && static_cast<std::size_t>(left) != offered - (offered < layout_bytes ? offered : layout_bytes))
        return "read_layout_number took more than five bytes from a pipe";
    return nullptr;
}

// The print file's last byte, found at the end of the contents and again
// behind a hole of a size taken from the contents (so that large sparse
// files are seen too): the last byte's value, or -1 for an empty file.
inline const char* check_last_byte(const std::uint8_t* bytes, std::size_t size)
{
    const int expected = size > 0 ? bytes[size - 1] : -1;
    const off_t holes[] = {0, size > 0 ? static_cast<off_t>(bytes[0]) << 24 : off_t{1} << 20};
    for (const off_t hole : holes) {
        const int fd = file_holding(bytes, size, hole);
        if (fd < 0)
            continue;
        // Wherever the file position stood before.
        lseek(fd, static_cast<off_t>(size / 2), SEEK_SET);
        struct stat status;
        const int got = fstat(fd, &status) == 0 ? last_byte(fd, status) : -2;
        close(fd);
        const int want = size == 0 && hole > 0 ? 0 : expected;
        if (got != want)
            return hole == 0 ? "last_byte is not the file's last byte" : "last_byte is wrong behind a hole";
    }
    return nullptr;
}

// A path the watcher could be given: up to the first NUL, at most 255 bytes.
inline std::string path_from(const std::uint8_t* bytes, std::size_t size)
{
    std::size_t length = 0;
    while (length < size && length < longest_path && bytes[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

inline bool is_plain(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c != 0 && std::strchr("/._-+,:@%=", c) != nullptr);
}

// The one word that the shell makes of `quoted`, read by the quoting rules
// of the POSIX shell for the forms shell_quote may use: plain characters,
// '...' and \' between quoted parts. Returns false for anything else
// (an unquoted special character, an unclosed quote).
inline bool shell_word(const std::string& quoted, std::string* word)
{
    word->clear();
    std::size_t i = 0;
    bool quoted_any = false;
    while (i < quoted.size()) {
        const char c = quoted[i];
        if (c == '\'') {
            const std::size_t end = quoted.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            word->append(quoted, i + 1, end - i - 1);
            i = end + 1;
            quoted_any = true;
        } else if (c == '\\' && i + 1 < quoted.size() && quoted[i + 1] == '\'') {
            word->push_back('\'');
            i += 2;
        } else if (is_plain(static_cast<unsigned char>(c))) {
            word->push_back(c);
            ++i;
        } else {
            return false;
        }
    }
    return quoted_any || !word->empty();
}

// What /bin/sh, run as system() runs it, gives the command for `quoted`:
// the number of arguments, a colon and the first argument, byte for byte.
inline std::string through_shell(const std::string& quoted)
{
    const std::string command = "set -- " + quoted + "; printf '%s:%s' \"$#\" \"$1\"";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "(popen failed)";
    // read() again after EINTR: libFuzzer's own SIGALRM watchdog would
    // otherwise cut the answer short.
    std::string out;
    char buffer[1024];
    for (;;) {
        const ssize_t got = read(fileno(pipe), buffer, sizeof buffer);
        if (got > 0)
            out.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    pclose(pipe);
    return out;
}

// shell_quote on any path: it fits the command line, leaves a plain path as
// it is, puts nothing but plain characters and \' outside quotes, gives back
// the path exactly (behind "./" when it begins with '-', '%', '@' or white space), never hands out a
// cut word when the buffer is short, and, when `ask_the_shell`, /bin/sh
// agrees.
inline const char* check_shell_quote(const std::uint8_t* bytes, std::size_t size, bool ask_the_shell)
{
    const std::string path = path_from(bytes, size);
    const bool leading_mark = !path.empty() && std::strchr("-%@ \t\n\r\f\v", path[0]) != nullptr;
    const std::string expected = (leading_mark ? "./" : "") + path;

    char quoted[command_line_size];
    if (!shell_quote(quoted, sizeof quoted, path.c_str()))
        return "a path of at most 255 bytes does not fit a command line";
    const std::string result = quoted;

    bool plain = !path.empty();
    for (const char c : path)
        plain = plain && is_plain(static_cast<unsigned char>(c));
    if (plain && result != expected)
        return "a plain path was changed";
    if (!plain && (result.size() < 2 || result.front() != '\'' || result.back() != '\''))
        return "a path that needs quoting is not enclosed in quotes";

    std::string word;
    if (!shell_word(result, &word))
        return "something other than plain characters and \\' stands outside quotes";
    if (word != expected)
        return "the quoted form does not read back as the path";

    // Too small a buffer: the whole word or nothing, never a cut one.
    char small[64];
    const std::size_t small_size = size > 0 ? bytes[size - 1] % sizeof small : 0;
    const bool fitted = shell_quote(small, small_size, path.c_str());
    if (fitted != (result.size() < small_size))
        return "shell_quote says it fitted when it did not, or the other way round";
    if (small_size > 0 && (fitted ? result != small : small[0] != '\0'))
        return "a buffer too small holds a cut word";

    if (ask_the_shell && through_shell(result) != "1:" + expected)
        return "/bin/sh reads the quoted form as something else";
    return nullptr;
}

// FNV-1a: picks the inputs whose quoted form is put through the shell.
inline std::uint32_t input_hash(const std::uint8_t* bytes, std::size_t size)
{
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

} // namespace fuzz_properties
