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

static bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// DOS folds ASCII letters only; the C library's folding would follow a locale.
static char folded(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The case of each letter of `name`, 1 for lower, the first letter in the
// highest bit, so that byte order is the order of these numbers; -1 when
// `name` is not `dos_name` in any case.
static int variant_of(const char* name, const char* dos_name)
{
    int variant = 0;
    for (; *name != '\0' && *dos_name != '\0'; ++name, ++dos_name) {
        if (folded(*name) != folded(*dos_name))
            return -1;
        if (is_letter(*dos_name))
            variant = variant << 1 | (*name >= 'a' ? 1 : 0);
    }
    return *name == *dos_name ? variant : -1;
}

bool same_dos_name(const char* name, const char* dos_name)
{
    return variant_of(name, dos_name) >= 0;
}

static int letters_in(const char* name)
{
    int count = 0;
    for (; *name != '\0'; ++name)
        count += is_letter(*name) ? 1 : 0;
    return count;
}

// `directory`/`dos_name` spelled as `variant` says, into `path`; false where
// it would not fit (never, for a directory the launcher took).
static bool spell(char* path, const char* directory, const char* dos_name, int variant)
{
    const int length = std::snprintf(path, path_size, "%s/%s", directory, dos_name);
    if (length < 0 || static_cast<std::size_t>(length) >= path_size)
        return false;
    int bit = letters_in(dos_name);
    for (char* c = path + length - std::strlen(dos_name); *c != '\0'; ++c) {
        if (is_letter(*c))
            *c = (variant >> --bit & 1) != 0 ? static_cast<char>(folded(*c) - 'A' + 'a') : folded(*c);
    }
    return true;
}

enum listing { LISTED, MISSING, UNLISTED };

// Puts the case variants of `dos_name` that `directory` holds into `found`.
// Read with getdents64 into the stack: readdir would take the heap, inside
// a signal handler. Where the directory cannot be read whole, the names that
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
    const int all_lower = (1 << letters_in(dos_name)) - 1;
    for (const int variant : {variant_of(dos_name, dos_name), 0, all_lower})
        found[variant / 64] |= std::uint64_t{1} << variant % 64;
    return UNLISTED;
}

// The variant after `after` (-1 for the first) in the finder's order:
// `spelled_here` first, then the others upwards; -1 after the last.
static int next_variant(const variant_set& found, int spelled_here, int after)
{
    auto holds = [&](int variant) { return (found[variant / 64] >> variant % 64 & 1) != 0; };
    if (after == -1 && holds(spelled_here))
        return spelled_here;
    for (int variant = after == -1 || after == spelled_here ? 0 : after + 1; variant < max_variants; ++variant) {
        if (variant != spelled_here && holds(variant))
            return variant;
    }
    return -1;
}

bool visit_guest_files(guest_file& file, guest_visitor visitor, void* context)
{
    variant_set folders = {};
    if (list_variants(guest_directory, file.folder, folders) == UNLISTED) {
        file.directory_unlisted = true;
        if (visitor(GUEST_UNLISTED, guest_directory, 0, context))
            return true;
    }
    const int file_letters = letters_in(file.file);
    const int folder_here = variant_of(file.folder, file.folder), file_here = variant_of(file.file, file.file);
    for (int folder = next_variant(folders, folder_here, -1); folder >= 0;
         folder = next_variant(folders, folder_here, folder)) {
        char folder_at[path_size], path[path_size];
        variant_set files = {};
        const listing inside = spell(folder_at, guest_directory, file.folder, folder)
            ? list_variants(folder_at, file.file, files)
            : MISSING;
        if (inside == MISSING)
            continue;
        file.folder_seen = true;
        if (visitor(GUEST_FOLDER, folder_at, folder << file_letters, context)
            || (inside == UNLISTED && visitor(GUEST_UNLISTED, folder_at, folder << file_letters, context)))
            return true;
        for (int name = next_variant(files, file_here, -1); name >= 0; name = next_variant(files, file_here, name)) {
            if (spell(path, folder_at, file.file, name)
                && visitor(inside == LISTED ? GUEST_FILE : GUEST_GUESS, path, folder << file_letters | name, context))
                return true;
        }
    }
    return false;
}

struct finding {
    char* path;
    int fd;
    int spelled_here; // the variant already tried by path
    bool stop_there;  // it is there but cannot be opened
};

static bool open_if_there(guest_place place, const char* path, int variant, void* context)
{
    auto& found = *static_cast<finding*>(context);
    if (place != GUEST_FILE && place != GUEST_GUESS)
        return false;
    if (variant == found.spelled_here)
        return found.stop_there;
    found.fd = open_for_reading(path);
    // Gone since its folder was listed, or only a guess: the next one.
    if (found.fd < 0 && errno == ENOENT)
        return false;
    std::snprintf(found.path, path_size, "%s", path);
    return true;
}

int open_guest_file(guest_file& file, char* path)
{
    const int folder_here = variant_of(file.folder, file.folder), file_here = variant_of(file.file, file.file);
    finding found = {path, -1, folder_here << letters_in(file.file) | file_here, false};
    char folder_at[path_size];
    if (spell(folder_at, guest_directory, file.folder, folder_here) && spell(path, folder_at, file.file, file_here)) {
        found.fd = open_for_reading(path);
        if (found.fd >= 0) {
            file.folder_seen = true;
            return found.fd;
        }
        // There, but not to be opened: the pass below learns what it can of
        // the folders, and stops at it, since it comes first.
        found.stop_there = errno != ENOENT && errno != ENOTDIR;
    }
    visit_guest_files(file, open_if_there, &found);
    return found.fd;
}
