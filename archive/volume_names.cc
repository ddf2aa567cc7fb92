/*
 * volume_names.cc - where the volumes of a disk set are: the files named by
 * the caller, the given file, its siblings beside it, and its siblings in
 * the folders that copies of floppies are kept in, one disk per folder
 * (DISK1/_SETUP.1, DISK2/_SETUP.2, ...).
 *
 * Every place is listed once and each file found is offered for the volume
 * number its name gives; a better-ranked offer replaces a worse one, so the
 * outcome does not depend on the order in which a folder lists its entries.
 * Memory is the heap's, checked, as everywhere in the library.
 */
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

/* How good a find is, lower first. */
enum {
    RANK_NAMED = 0,
    RANK_GIVEN = 1,
    RANK_BESIDE = 2,      /* + 1 when spelt in another letter case than the given file */
    RANK_DISK_FOLDER = 4, /* + 2 per disk folder before it, + 1 in another letter case */
};

/* No floppy set counts its disks in more digits; it keeps the number in range too. */
const size_t MAX_DISK_DIGITS = 9;

/* The volume number of a decimal "1" to "255" without leading zeros, or 0. */
uint32_t volume_number_of(const char *digits)
{
    uint32_t number = 0;
    size_t i = 0;
    for (; digits[i] >= '0' && digits[i] <= '9' && i < 3; ++i)
        number = number * 10 + static_cast<uint32_t>(digits[i] - '0');
    if (i == 0 || digits[i] != '\0' || digits[0] == '0' || number > ARC_MAX_VOLUMES)
        return 0;
    return number;
}

bool equal_folded(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (arc_ascii_lower(a[i]) != arc_ascii_lower(b[i]))
            return false;
    }
    return true;
}

/* The first @length bytes of @head, then @tail and @more, in memory of their own; or null. */
char *joined(const char *head, size_t length, const char *tail, const char *more)
{
    const size_t tail_length = std::strlen(tail), more_length = std::strlen(more);
    char *path = static_cast<char *>(std::malloc(length + tail_length + more_length + 1));
    if (path != nullptr) {
        std::memcpy(path, head, length);
        std::memcpy(path + length, tail, tail_length);
        std::memcpy(path + length + tail_length, more, more_length + 1);
    }
    return path;
}

/* Gives volume @number the @path (taken over), unless a find as good or better has it. */
void offer(arc_volume_names *names, uint32_t number, char *path, uint32_t rank)
{
    if (path == nullptr) {
        names->out_of_memory = true;
        return;
    }
    if (names->found[number] != nullptr && names->rank[number] <= rank) {
        std::free(path);
        return;
    }
    std::free(names->found[number]);
    names->found[number] = path;
    names->rank[number] = rank;
}

/* One folder being searched for the given base name. */
struct folder_search {
    arc_volume_names *names;
    const char *folder; /* as a path's prefix: empty, or ending in a separator */
    uint32_t rank;
};

/* Offers @name when it is the given base, a dot and a volume number, in any letter case. */
void visit_volume(void *context, const char *name)
{
    const folder_search &search = *static_cast<const folder_search *>(context);
    const arc_volume_names &names = *search.names;
    const char *base = names.given_path + names.folder_length;
    if (std::strlen(name) <= names.base_length || !equal_folded(name, base, names.base_length) ||
        name[names.base_length] != '.')
        return;
    const uint32_t number = volume_number_of(name + names.base_length + 1);
    const bool exact = std::strncmp(name, base, names.base_length) == 0;
    if (number != 0)
        offer(search.names, number, joined(search.folder, std::strlen(search.folder), name, ""),
              search.rank + (exact ? 0 : 1));
}

/* A folder that cannot be listed holds nothing to be found. */
void search_folder(arc_volume_names *names, const char *folder, uint32_t rank)
{
    folder_search search = {names, folder, rank};
    arc_list_folder(folder, visit_volume, &search);
}

/* A folder name split around its last run of digits: "Disk 1" is "Disk ", 1 and "". */
struct numbered_name {
    char *name;
    size_t digits_start, digits_end;
    uint64_t number;
};

bool split_numbered(const char *name, numbered_name *split)
{
    size_t end = std::strlen(name);
    while (end > 0 && !(name[end - 1] >= '0' && name[end - 1] <= '9'))
        --end;
    size_t start = end;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (start == end || end - start > MAX_DISK_DIGITS)
        return false;
    split->digits_start = start;
    split->digits_end = end;
    split->number = std::strtoull(name + start, nullptr, 10);
    return true;
}

/* The given file's folder, and the folders beside it named as it is but for the number. */
struct disk_folders {
    const char *given;
    numbered_name given_split;
    numbered_name *others;
    size_t count, capacity;
    bool out_of_memory;
};

bool is_other_disk(const disk_folders &disks, const char *name, numbered_name *split)
{
    const numbered_name &given = disks.given_split;
    const size_t suffix = std::strlen(disks.given) - given.digits_end;
    return split_numbered(name, split) && split->number != given.number &&
           split->digits_start == given.digits_start &&
           std::strlen(name) - split->digits_end == suffix &&
           equal_folded(name, disks.given, given.digits_start) &&
           equal_folded(name + split->digits_end, disks.given + given.digits_end, suffix);
}

void visit_disk_folder(void *context, const char *name)
{
    disk_folders &disks = *static_cast<disk_folders *>(context);
    numbered_name split;
    if (!is_other_disk(disks, name, &split))
        return;
    if (disks.count == disks.capacity) {
        const size_t capacity = disks.capacity != 0 ? 2 * disks.capacity : 8;
        void *grown = std::realloc(disks.others, capacity * sizeof(numbered_name));
        if (grown == nullptr) {
            disks.out_of_memory = true;
            return;
        }
        disks.others = static_cast<numbered_name *>(grown);
        disks.capacity = capacity;
    }
    split.name = arc_copy_text(name);
    if (split.name == nullptr) {
        disks.out_of_memory = true;
        return;
    }
    disks.others[disks.count++] = split;
}

/* Disk folders in the order of their numbers, then of their names. */
int compare_disks(const void *a, const void *b)
{
    const numbered_name &x = *static_cast<const numbered_name *>(a);
    const numbered_name &y = *static_cast<const numbered_name *>(b);
    if (x.number != y.number)
        return x.number < y.number ? -1 : 1;
    return std::strcmp(x.name, y.name);
}

/*
 * The folder the given file is in, as a path without its last separator:
 * from the given path, or from the file system when the path names it "",
 * "." or "..", so that a run from inside DISK1 still finds DISK2. Null when
 * it has no name (the root) or memory ran out.
 */
char *named_folder(const arc_volume_names &names, bool *out_of_memory)
{
    size_t length = names.folder_length;
    while (length > 0 && arc_is_path_separator(names.given_path[length - 1]))
        --length;
    char *folder = joined(names.given_path, length, "", "");
    if (folder == nullptr) {
        *out_of_memory = true;
        return nullptr;
    }
    const char *last = folder + arc_file_name_start(folder);
    if (*last == '\0' || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0) {
        char *resolved = arc_resolve_path(*folder != '\0' ? folder : ".");
        std::free(folder);
        folder = resolved;
    }
    if (folder != nullptr && folder[arc_file_name_start(folder)] == '\0') {
        std::free(folder);
        folder = nullptr;
    }
    return folder;
}

void search_disk_folders(arc_volume_names *names)
{
    char *folder = named_folder(*names, &names->out_of_memory);
    if (folder == nullptr)
        return;
    const size_t parent_length = arc_file_name_start(folder);
    disk_folders disks = {folder + parent_length, {}, nullptr, 0, 0, false};
    char *parent = joined(folder, parent_length, "", "");
    if (parent != nullptr && split_numbered(disks.given, &disks.given_split)) {
        arc_list_folder(parent, visit_disk_folder, &disks);
        if (disks.count > 1)
            std::qsort(disks.others, disks.count, sizeof(numbered_name), compare_disks);
    }
    names->out_of_memory = names->out_of_memory || parent == nullptr || disks.out_of_memory;
    for (size_t i = 0; i < disks.count; ++i) {
        char *disk = joined(parent, parent_length, disks.others[i].name, "/");
        if (disk != nullptr)
            search_folder(names, disk, static_cast<uint32_t>(RANK_DISK_FOLDER + 2 * i));
        names->out_of_memory = names->out_of_memory || disk == nullptr;
        std::free(disk);
        std::free(disks.others[i].name);
    }
    std::free(disks.others);
    std::free(parent);
    std::free(folder);
}

} // namespace

uint32_t arc_volume_number_in_header(const char *path, uint8_t *header)
{
    std::FILE *file = nullptr;
    int64_t size = 0;
    const arc_status status = arc_open_file(path, ARC_OPEN_REGULAR_ONLY, &file, &size, header);
    if (file != nullptr)
        std::fclose(file);
    return status == ARC_OK && read_u16le(header + ARC_HEADER_SET_FLAG) == 1
               ? header[ARC_HEADER_VOLUME_NUMBER]
               : 0;
}

arc_status arc_find_volume_names(const char *path, const uint8_t *header,
                                 const char *const *named_paths, uint32_t named_count,
                                 arc_volume_names *names)
{
    std::memset(names, 0, sizeof(*names));
    names->given_path = path;
    names->folder_length = arc_file_name_start(path);
    const char *file_name = path + names->folder_length;
    const char *dot = std::strrchr(file_name, '.');
    names->base_length =
        dot != nullptr ? static_cast<size_t>(dot - file_name) : std::strlen(file_name);

    for (uint32_t i = 0; i < named_count; ++i) {
        uint8_t named_header[ARC_HEADER_SIZE];
        if (const uint32_t number = arc_volume_number_in_header(named_paths[i], named_header))
            offer(names, number, arc_copy_text(named_paths[i]), RANK_NAMED);
    }
    /* The given file stands for its number even where its folder cannot be listed. */
    uint32_t given = dot != nullptr ? volume_number_of(dot + 1) : 0;
    if (given == 0)
        given = header[ARC_HEADER_VOLUME_NUMBER];
    if (given != 0)
        offer(names, given, arc_copy_text(path), RANK_GIVEN);
    char *folder = joined(path, names->folder_length, "", "");
    if (folder != nullptr)
        search_folder(names, folder, RANK_BESIDE);
    names->out_of_memory = names->out_of_memory || folder == nullptr;
    std::free(folder);
    search_disk_folders(names);
    return names->out_of_memory ? ARC_ERR_NO_MEMORY : ARC_OK;
}

void arc_free_volume_names(arc_volume_names *names)
{
    for (char *path : names->found)
        std::free(path);
    std::memset(names->found, 0, sizeof(names->found));
}

char *arc_expected_volume_path(const arc_volume_names *names, uint32_t number)
{
    char suffix[8];
    std::snprintf(suffix, sizeof(suffix), ".%u", static_cast<unsigned>(number));
    return joined(names->given_path, names->folder_length + names->base_length, suffix, "");
}
