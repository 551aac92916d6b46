#include "guest_files.hpp"

#include "guest_content.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

guest_file guest_print_file = {"document", "DRUCKEN.PS", {}, 0, {}, {}, {}, {}};
guest_file guest_layout_file = {"userdata", "DRUCKEN.CFG", {}, 0, {}, {}, {}, {}};

static char guest_directory[path_size];

// Timestamps of a directory come in steps as coarse as 2 s (FAT); an entry
// made within a step of the reading could leave them as they were.
static const time_t timestamp_step_seconds = 3;

void guest_files_start(const char* directory)
{
    std::snprintf(guest_directory, sizeof guest_directory, "%s", directory);
    guest_print_file.parent.known = false;
    guest_layout_file.parent.known = false;
}

bool same_dos_name(const char* name, const char* dos_name)
{
    // DOS folds ASCII letters only; the C library's folding would follow a locale.
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (; *name != '\0' && *dos_name != '\0'; ++name, ++dos_name) {
        if (fold(*name) != fold(*dos_name))
            return false;
    }
    return *name == *dos_name;
}

// The fixed order among the case variants of `dos_name`: spelled so first.
static bool comes_before(const char* a, const char* b, const char* dos_name)
{
    if (std::strcmp(b, dos_name) == 0)
        return false;
    return std::strcmp(a, dos_name) == 0 || std::strcmp(a, b) < 0;
}

// The names in `directory` that are `dos_name` in any case, the first `max`
// of them in order. Read with getdents64 into the stack: readdir would take
// the heap, inside a signal handler. False when the listing broke off.
static bool read_matches(const char* directory, const char* dos_name, host_name* names, int max, int* count)
{
    *count = 0;
    int fd;
    do
        fd = open(directory, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR;
    // A few hundred entries in one call; the next one says that was all.
    alignas(8) char entries[32 * 1024];
    ssize_t got;
    while ((got = getdents64(fd, entries, sizeof entries)) > 0 || (got < 0 && errno == EINTR)) {
        for (ssize_t at = 0; at < got;) {
            unsigned short length;
            std::memcpy(&length, entries + at + offsetof(struct dirent64, d_reclen), sizeof length);
            const char* name = entries + at + offsetof(struct dirent64, d_name);
            at += length;
            if (!same_dos_name(name, dos_name))
                continue;
            int place = *count < max ? (*count)++ : max;
            for (; place > 0 && comes_before(name, names[place - 1], dos_name); --place) {
                if (place < max)
                    std::memcpy(names[place], names[place - 1], sizeof names[place]);
            }
            if (place < max)
                std::memcpy(names[place], name, std::strlen(dos_name) + 1);
        }
    }
    close(fd);
    return got == 0;
}

// Reads the matches in `directory` again unless one stat shows it unchanged
// since the last reading. Returns whether it read them.
static bool read_again_if_changed(const char* directory, const char* dos_name, directory_state& state,
                                  host_name* names, int max, int* count)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat status;
    const bool exists = stat(directory, &status) == 0;
    if (state.known && state.settled && exists == state.exists
        && (!exists
            || (status.st_dev == state.device && status.st_ino == state.inode
                && same_time(status.st_mtim, state.modified) && same_time(status.st_ctim, state.changed))))
        return false;
    const bool whole = !exists || read_matches(directory, dos_name, names, max, count);
    if (!exists)
        *count = 0;
    const time_t settled_before = now.tv_sec - timestamp_step_seconds;
    state = {true, exists,
             whole && (!exists || (status.st_mtim.tv_sec < settled_before && status.st_ctim.tv_sec < settled_before)),
             exists ? status.st_dev : 0, exists ? status.st_ino : 0, exists ? status.st_mtim : timespec{},
             exists ? status.st_ctim : timespec{}};
    return true;
}

// Looks at the directory given; true when its folders of that name changed.
static bool folders_changed(guest_file& file)
{
    host_name folders[max_matches] = {};
    int count = 0;
    if (!read_again_if_changed(guest_directory, file.folder, file.parent, folders, max_matches, &count))
        return false;
    if (count == file.folder_count && std::memcmp(folders, file.folders, sizeof folders[0] * count) == 0)
        return false;
    std::memcpy(file.folders, folders, sizeof folders);
    file.folder_count = count;
    for (directory_state& state : file.folder_states)
        state.known = false;
    return true;
}

// `directory`/`name` into `path`, or false where it would not fit (never,
// for a directory the launcher took).
static bool join(char* path, const char* directory, const char* name)
{
    const int length = std::snprintf(path, path_size, "%s/%s", directory, name);
    return length > 0 && static_cast<std::size_t>(length) < path_size;
}

// The host path of the first of the file's names that existed when its
// directory was last read, or, for the name spelled as DOS spells it, that
// existed last time: the open that follows tells.
static bool find_guest_file(guest_file& file, char* path)
{
    // The folder spelled as DOS spells it comes first whatever else is
    // there, so a file in it is found without a look at the directory given.
    bool folders_looked_at = false;
    for (int folder = 0;; ++folder) {
        const bool first_as_spelled = folder == 0 && file.folder_count > 0
            && std::strcmp(file.folders[0], file.folder) == 0;
        if (!folders_looked_at && (folder >= file.folder_count || !first_as_spelled)) {
            folders_looked_at = true;
            if (folders_changed(file))
                folder = 0;
        }
        if (folder >= file.folder_count)
            return false;
        char folder_at[path_size];
        if (!join(folder_at, guest_directory, file.folders[folder]))
            continue;
        // The file spelled as DOS spells it comes first in its folder,
        // whatever else is there.
        const bool file_as_spelled = file.folder_states[folder].known && file.folder_has_file[folder]
            && std::strcmp(file.first_files[folder], file.file) == 0;
        int count;
        if (!file_as_spelled
            && read_again_if_changed(folder_at, file.file, file.folder_states[folder], &file.first_files[folder], 1,
                                     &count))
            file.folder_has_file[folder] = count > 0;
        if (file.folder_has_file[folder] && join(path, folder_at, file.first_files[folder]))
            return true;
    }
}

int open_guest_file(guest_file& file, char* path)
{
    for (int look = 0; look < 2; ++look) {
        if (!find_guest_file(file, path))
            return -1;
        const int fd = open_for_reading(path);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // Gone since its directory was read: read every directory again.
        file.parent.known = false;
        file.folder_count = 0;
    }
    return -1;
}

int list_guest_folders(guest_file& file)
{
    file.parent.known = false;
    folders_changed(file);
    return file.folder_count;
}

int list_guest_files(guest_file& file, char (*paths)[path_size], int max)
{
    int written = 0;
    const int folders = list_guest_folders(file);
    for (int folder = 0; folder < folders && written < max; ++folder) {
        char folder_at[path_size];
        host_name names[max_matches];
        int count = 0;
        if (join(folder_at, guest_directory, file.folders[folder]))
            read_matches(folder_at, file.file, names, max_matches, &count);
        for (int i = 0; i < count && written < max; ++i)
            written += join(paths[written], folder_at, names[i]) ? 1 : 0;
    }
    return written;
}
