#include "guest_files.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

guest_file guest_print_file = {"document", "DRUCKEN.PS", false, false};
guest_file guest_layout_file = {"userdata", "DRUCKEN.CFG", false, false};

static char guest_directory[path_size];

void guest_files_start(const char* directory)
{
    std::snprintf(guest_directory, sizeof guest_directory, "%s", directory);
}

// A DOS name has at most eleven letters: its case variants fit in 2048 bits.
constexpr int max_variants = 1 << 11;
using variant_set = std::uint64_t[max_variants / 64];

// DOS folds ASCII letters only; the C library's folding would follow a locale.
static bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The case of each letter of `name`, 1 for lower, the first letter in the
// highest bit, so that byte order is the order of these numbers; -1 when
// `name` is not `dos_name` in any case. `letters` gets how many there are.
static int variant_of(const char* name, const char* dos_name, int* letters = nullptr)
{
    int variant = 0, count = 0;
    for (; *name != '\0' && *dos_name != '\0'; ++name, ++dos_name) {
        if ((*name | 0x20) != (*dos_name | 0x20) || (*name != *dos_name && !is_letter(*dos_name)))
            return -1;
        if (is_letter(*dos_name))
            variant = variant << 1 | (*name >= 'a' ? 1 : 0), ++count;
    }
    if (letters != nullptr)
        *letters = count;
    return *name == *dos_name ? variant : -1;
}

bool same_dos_name(const char* name, const char* dos_name)
{
    return variant_of(name, dos_name) >= 0;
}

// `directory`/`dos_name` spelled as `variant` says, into `path`; false where
// it would not fit (never, for a directory the launcher took).
static bool spell(char* path, const char* directory, const char* dos_name, int variant)
{
    const int length = std::snprintf(path, path_size, "%s/%s", directory, dos_name);
    if (length < 0 || length >= static_cast<int>(path_size))
        return false;
    int bit;
    variant_of(dos_name, dos_name, &bit);
    for (char* c = path + length - std::strlen(dos_name); *c != '\0'; ++c) {
        if (is_letter(*c))
            *c = static_cast<char>((variant >> --bit & 1) != 0 ? *c | 0x20 : *c & ~0x20);
    }
    return true;
}

enum listing { LISTED, MISSING, UNLISTED };

// Puts the case variants of `dos_name` that `directory` holds into `found`.
// Read with getdents64 into the stack: readdir would take the heap, inside a
// signal handler. Where the directory cannot be read whole, the names that
// the guest's emulators write stand in: as spelled here, in upper and in
// lower case.
static listing list_variants(const char* directory, const char* dos_name, variant_set& found)
{
    int fd;
    do
        fd = open(directory, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR))
        return MISSING;
    // A few hundred entries in one call; the next one says that was all.
    alignas(8) char entries[32 * 1024];
    ssize_t got = -1;
    while (fd >= 0 && ((got = getdents64(fd, entries, sizeof entries)) > 0 || (got < 0 && errno == EINTR))) {
        for (ssize_t at = 0; at < got;) {
            unsigned short length;
            std::memcpy(&length, entries + at + offsetof(struct dirent64, d_reclen), sizeof length);
            const int variant = variant_of(entries + at + offsetof(struct dirent64, d_name), dos_name);
            if (variant >= 0)
                found[variant / 64] |= std::uint64_t{1} << variant % 64;
            at += length;
        }
    }
    if (fd >= 0)
        close(fd);
    if (got == 0)
        return LISTED;
    int letters;
    for (const int variant : {variant_of(dos_name, dos_name, &letters), 0, (1 << letters) - 1})
        found[variant / 64] |= std::uint64_t{1} << variant % 64;
    return UNLISTED;
}

// The `at`th variant in the finder's order, from -1 on: `spelled_here`
// first, then the others upwards; -1 where `found` lacks it.
static int in_order(const variant_set& found, int spelled_here, int at)
{
    const int variant = at < 0 ? spelled_here : at;
    return (at < 0 || at != spelled_here) && (found[variant / 64] >> variant % 64 & 1) != 0 ? variant : -1;
}

bool visit_guest_files(guest_file& file, guest_visitor visitor, void* context)
{
    variant_set folders = {};
    if (list_variants(guest_directory, file.folder, folders) == UNLISTED) {
        file.directory_unlisted = true;
        if (visitor(GUEST_UNLISTED, guest_directory, 0, context))
            return true;
    }
    int folder_letters, file_letters;
    const int folder_here = variant_of(file.folder, file.folder, &folder_letters);
    const int file_here = variant_of(file.file, file.file, &file_letters);
    for (int at = -1; at < 1 << folder_letters; ++at) {
        const int folder = in_order(folders, folder_here, at);
        char folder_at[path_size], path[path_size];
        if (folder < 0 || !spell(folder_at, guest_directory, file.folder, folder))
            continue;
        variant_set files = {};
        const listing inside = list_variants(folder_at, file.file, files);
        if (inside == MISSING)
            continue;
        file.folder_seen = true;
        const int first = folder << file_letters;
        if (visitor(GUEST_FOLDER, folder_at, first, context)
            || (inside == UNLISTED && visitor(GUEST_UNLISTED, folder_at, first, context)))
            return true;
        for (int at_name = -1; at_name < 1 << file_letters; ++at_name) {
            const int name = in_order(files, file_here, at_name);
            if (name >= 0 && spell(path, folder_at, file.file, name)
                && visitor(inside == LISTED ? GUEST_FILE : GUEST_GUESS, path, first | name, context))
                return true;
        }
    }
    return false;
}

struct finding {
    char* path;
    int fd;
};

static bool open_if_there(guest_place place, const char* path, int, void* context)
{
    auto& found = *static_cast<finding*>(context);
    if (place != GUEST_FILE && place != GUEST_GUESS)
        return false;
    found.fd = open_for_reading(path);
    // Gone since its folder was listed, or only a guess: the next one. One
    // that is there but cannot be opened comes first all the same.
    if (found.fd < 0 && errno == ENOENT)
        return false;
    std::snprintf(found.path, path_size, "%s", path);
    return true;
}

int open_guest_file(guest_file& file, char* path)
{
    finding found = {path, -1};
    visit_guest_files(file, open_if_there, &found);
    return found.fd;
}
