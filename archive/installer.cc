/*
 * installer.cc - a whole installer: its folder table and its directory with
 * every member's details, from a plain archive or from one volume of a set.
 *
 * The folder table sits just before the directory. It is trusted only as a
 * whole: when any part of it disagrees with itself or with the records, every
 * member goes to one root folder, which is what an archive without a table
 * amounts to. A consistent table also says where the first record starts
 * (the directory offset), which matters because code-page names make the
 * record test weaker than arc_open()'s and a scan could stop too early.
 */
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

/* A folder table entry: member count, entry length, name length, name, then 5 zeros. */
enum {
    FOLDER_MEMBER_COUNT = 0,
    FOLDER_ENTRY_LENGTH = 2,
    FOLDER_NAME_LENGTH = 4,
    FOLDER_NAME = 6,
    FOLDER_ENTRY_OVERHEAD = 11,
};

/* Where the header puts the folder table, and how many entries it counts. */
struct folder_table_place {
    uint32_t offset;
    uint32_t size;
    uint32_t count;
};

folder_table_place folder_table_place_of(const uint8_t *header)
{
    return {arc_read_u32le(header + ARC_HEADER_FOLDER_TABLE_OFFSET),
            read_u16le(header + ARC_HEADER_FOLDER_TABLE_SIZE),
            read_u16le(header + ARC_HEADER_FOLDER_COUNT)};
}

bool folder_table_fits(const folder_table_place &place, int64_t file_size)
{
    return place.count != 0 && place.size >= FOLDER_ENTRY_OVERHEAD * place.count &&
           place.offset >= ARC_HEADER_SIZE &&
           static_cast<int64_t>(place.offset) + place.size <= file_size;
}

/*
 * Walks the entries of @table into @folders, each name ended by a 0 written
 * over the first of its padding bytes. True when they lie back to back, fill
 * the table exactly and their counts add up to @member_count.
 */
bool parse_folder_table(uint8_t *table, const folder_table_place &place, uint32_t member_count,
                        arc_folder *folders)
{
    uint32_t at = 0;
    uint64_t members = 0;
    for (uint32_t i = 0; i < place.count; ++i) {
        if (place.size - at < FOLDER_NAME)
            return false;
        uint8_t *entry = table + at;
        const uint32_t entry_length = read_u16le(entry + FOLDER_ENTRY_LENGTH);
        const uint32_t name_length = read_u16le(entry + FOLDER_NAME_LENGTH);
        if (entry_length != name_length + FOLDER_ENTRY_OVERHEAD || entry_length > place.size - at)
            return false;
        entry[FOLDER_NAME + name_length] = 0;
        folders[i].name = reinterpret_cast<const char *>(entry + FOLDER_NAME);
        folders[i].name_length = name_length;
        folders[i].member_count = read_u16le(entry + FOLDER_MEMBER_COUNT);
        members += folders[i].member_count;
        at += entry_length;
    }
    return at == place.size && members == member_count;
}

void drop_folders(arc_installer *installer)
{
    std::free(installer->folders);
    std::free(installer->folder_table);
    installer->folders = nullptr;
    installer->folder_table = nullptr;
    installer->folder_count = 0;
}

/*
 * Reads the folder table when its header fields are plausible and keeps it
 * when its entries are consistent. An unusable table is not a failure: the
 * members then go to the root. Only a failed read or allocation is.
 */
arc_status read_folder_table(arc_installer *installer, const arc_volume *volume,
                             const uint8_t *header, uint32_t member_count)
{
    const folder_table_place place = folder_table_place_of(header);
    if (!folder_table_fits(place, volume->file_size))
        return ARC_OK;
    installer->folder_table = static_cast<uint8_t *>(std::malloc(place.size));
    installer->folders = static_cast<arc_folder *>(std::calloc(place.count, sizeof(arc_folder)));
    if (installer->folder_table == nullptr || installer->folders == nullptr)
        return ARC_ERR_NO_MEMORY;
    if (arc_seek_from_start(volume->file, place.offset) != 0 ||
        std::fread(installer->folder_table, 1, place.size, volume->file) != place.size)
        return ARC_ERR_READ;
    if (parse_folder_table(installer->folder_table, place, member_count, installer->folders))
        installer->folder_count = place.count;
    else
        drop_folders(installer);
    return ARC_OK;
}

/*
 * Whether every member names a folder of the table and each folder's count is
 * right. The counts are taken down to 0 and, when they all agree, back up.
 */
bool members_agree_with_folders(const arc_installer *installer)
{
    const arc_archive *archive = &installer->archive;
    for (uint32_t i = 0; i < archive->member_count; ++i) {
        const uint32_t folder = archive->members[i].folder;
        if (folder >= installer->folder_count || installer->folders[folder].member_count == 0)
            return false;
        --installer->folders[folder].member_count;
    }
    for (uint32_t f = 0; f < installer->folder_count; ++f) {
        if (installer->folders[f].member_count != 0)
            return false;
    }
    for (uint32_t i = 0; i < archive->member_count; ++i)
        ++installer->folders[archive->members[i].folder].member_count;
    return true;
}

/* Every member in one folder with an empty name. */
arc_status use_root_folder(arc_installer *installer)
{
    drop_folders(installer);
    installer->folders = static_cast<arc_folder *>(std::calloc(1, sizeof(arc_folder)));
    if (installer->folders == nullptr)
        return ARC_ERR_NO_MEMORY;
    installer->folders[0].name = "";
    installer->folders[0].member_count = installer->archive.member_count;
    installer->folder_count = 1;
    for (uint32_t i = 0; i < installer->archive.member_count; ++i)
        installer->archive.members[i].folder = 0;
    return ARC_OK;
}

arc_status walk_installer_directory(arc_installer *installer, const arc_volume *volume,
                                    const arc_directory_place &place)
{
    uint8_t *buffer = nullptr;
    arc_status status = arc_load_directory(volume->file, place, &buffer);
    if (status == ARC_OK) {
        const uint32_t length = place.size + ARC_RECORD_FIXED_SIZE;
        const arc_walk_rules rules = {true, false};
        const uint32_t expected = installer->folder_count != 0
                                      ? ARC_RECORD_FIXED_SIZE + ARC_RECORD_START_TO_NAME_LENGTH
                                      : 0;
        const uint32_t first = arc_first_record(buffer, length, expected, rules);
        status = first == 0 ? ARC_ERR_DIRECTORY
                            : arc_walk_records(&installer->archive, buffer, length, place.count,
                                               first, rules);
    }
    std::free(buffer);
    return status;
}

arc_status read_directory_of(arc_installer *installer, const arc_volume *volume)
{
    uint8_t header[ARC_HEADER_SIZE];
    if (arc_seek_from_start(volume->file, 0) != 0 ||
        std::fread(header, 1, sizeof(header), volume->file) != sizeof(header))
        return ARC_ERR_READ;
    const arc_directory_place place = arc_directory_place_of(header);
    if (!arc_directory_place_fits(place, volume->file_size))
        return ARC_ERR_DIRECTORY;

    arc_archive *archive = &installer->archive;
    archive->file_size = volume->file_size;
    archive->members = static_cast<arc_member *>(std::calloc(place.count, sizeof(arc_member)));
    if (archive->members == nullptr)
        return ARC_ERR_NO_MEMORY;
    arc_status status = read_folder_table(installer, volume, header, place.count);
    if (status == ARC_OK)
        status = walk_installer_directory(installer, volume, place);
    if (status == ARC_OK &&
        (installer->folder_count == 0 || !members_agree_with_folders(installer)))
        status = use_root_folder(installer);
    return status;
}

/* The one volume of a plain archive or a container: the given file, numbered 0. */
arc_status open_single_file(arc_installer *installer, const char *path, std::FILE *file,
                            int64_t file_size)
{
    installer->volumes = static_cast<arc_volume *>(std::calloc(1, sizeof(arc_volume)));
    if (installer->volumes == nullptr) {
        std::fclose(file);
        return ARC_ERR_NO_MEMORY;
    }
    installer->volume_count = 1;
    arc_volume *volume = &installer->volumes[0];
    volume->file = file;
    volume->file_size = file_size;
    volume->status = ARC_OK;
    volume->path = arc_copy_text(path);
    return volume->path != nullptr ? ARC_OK : ARC_ERR_NO_MEMORY;
}

/* What a failed open leaves: the volumes, so that a missing one can be named, and nothing else. */
void drop_members(arc_installer *installer)
{
    drop_folders(installer);
    std::free(installer->archive.members);
    installer->archive.members = nullptr;
    installer->archive.member_count = 0;
    installer->archive.file_size = 0;
}

arc_status open_container(arc_installer *installer, const char *path, std::FILE *file,
                          int64_t file_size)
{
    arc_status status = open_single_file(installer, path, file, file_size);
    if (status == ARC_OK)
        status = arc_read_container(installer, file, file_size);
    if (status != ARC_OK)
        drop_members(installer);
    return status;
}

void clear_installer(arc_installer *installer)
{
    std::memset(installer, 0, sizeof(*installer));
}

} // namespace

char *arc_copy_text(const char *text)
{
    const size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr)
        std::memcpy(copy, text, size);
    return copy;
}

arc_status arc_read_installer_directory(arc_installer *installer, uint32_t volume)
{
    installer->directory_volume = volume;
    const arc_status status = read_directory_of(installer, &installer->volumes[volume]);
    if (status != ARC_OK)
        drop_members(installer);
    return status;
}

arc_status arc_open_installer(const char *path, arc_installer *installer)
{
    return arc_open_installer_with(path, nullptr, 0, installer);
}

arc_status arc_open_installer_with(const char *path, const char *const *volume_paths,
                                   uint32_t volume_path_count, arc_installer *installer)
{
    clear_installer(installer);
    std::FILE *file = nullptr;
    int64_t file_size = 0;
    uint8_t header[ARC_HEADER_SIZE];
    const arc_status status = arc_open_file(path, ARC_OPEN_REGULAR_ONLY, &file, &file_size, header);
    if (status == ARC_ERR_NOT_ARCHIVE && file != nullptr && arc_starts_as_container(file))
        return open_container(installer, path, file, file_size);
    if (status != ARC_OK) {
        if (file != nullptr)
            std::fclose(file);
        return status;
    }
    if (read_u16le(header + ARC_HEADER_SET_FLAG) != 1) {
        const arc_status opened = open_single_file(installer, path, file, file_size);
        return opened == ARC_OK ? arc_read_installer_directory(installer, 0) : opened;
    }
    /* Every volume, this one included, is opened and checked alike. */
    std::fclose(file);
    installer->disk_set = true;
    return arc_open_disk_set(installer, path, header, volume_paths, volume_path_count);
}

void arc_close_installer(arc_installer *installer)
{
    for (uint32_t i = 0; i < installer->volume_count; ++i) {
        if (installer->volumes[i].file != nullptr)
            std::fclose(installer->volumes[i].file);
        std::free(installer->volumes[i].path);
    }
    std::free(installer->volumes);
    std::free(installer->archive.members);
    drop_folders(installer);
    clear_installer(installer);
}
