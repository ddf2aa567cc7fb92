/*
 * volume_set.cc - disk sets: finding a set's volumes beside the given one,
 * telling which of them belong to it, and laying each member's data over them.
 *
 * Every volume repeats the whole set's directory, but only the first and the
 * last are trustworthy: a middle one may hold an interim copy whose later
 * records point into a single virtual file. A member's data starts in its
 * start volume at its offset; when it goes on, it fills that volume up to
 * where the volume's data ends (its folder table), then continues just after
 * the next volume's header, whole volumes in between, for packed_size bytes
 * in all.
 */
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

uint32_t data_end_of(const uint8_t *header)
{
    const uint32_t folder_table = arc_read_u32le(header + ARC_HEADER_FOLDER_TABLE_OFFSET);
    return folder_table != 0 ? folder_table : arc_read_u32le(header + ARC_HEADER_DIRECTORY_OFFSET);
}

/* What the set as a whole needs to know of its volumes' headers. */
struct set_survey {
    uint32_t first_volume_count; /* volume 1's count of volumes, when volume 1 is usable */
    uint32_t last_volume;        /* the highest usable volume that says it is the last, or 0 */
};

/* Opens volume @number at @volume->path and checks that it belongs to the set. */
void open_volume(arc_volume *volume, uint32_t number, const uint8_t *set_header, set_survey *survey)
{
    volume->number = number;
    uint8_t header[ARC_HEADER_SIZE];
    volume->status = arc_open_file(volume->path, ARC_OPEN_REGULAR_ONLY, &volume->file,
                                   &volume->file_size, header);
    if (volume->status == ARC_OK && !arc_header_is_volume_of_set(header, number, set_header))
        volume->status = ARC_ERR_NOT_ARCHIVE;
    if (volume->status != ARC_OK) {
        if (volume->file != nullptr)
            std::fclose(volume->file);
        volume->file = nullptr;
        return;
    }
    volume->data_end = data_end_of(header);
    if (number == 1)
        survey->first_volume_count = header[ARC_HEADER_VOLUME_COUNT];
    if (arc_read_u32le(header + ARC_HEADER_CONTINUED_START) == 0)
        survey->last_volume = number;
}

/* Volumes from @installer->volume_count + 1 to @count, opened where a file was found. */
arc_status add_volumes(arc_installer *installer, const arc_volume_names &names, uint32_t count,
                       const uint8_t *set_header, set_survey *survey)
{
    for (uint32_t number = installer->volume_count + 1; number <= count; ++number) {
        arc_volume *volume = &installer->volumes[number - 1];
        const bool found = names.found[number] != nullptr;
        volume->path =
            found ? arc_copy_text(names.found[number]) : arc_expected_volume_path(&names, number);
        installer->volume_count = number;
        if (volume->path == nullptr)
            return ARC_ERR_NO_MEMORY;
        volume->number = number;
        volume->status = ARC_ERR_OPEN;
        if (found)
            open_volume(volume, number, set_header, survey);
    }
    return ARC_OK;
}

/* Closes and forgets the volumes after the first @count. */
void drop_volumes_after(arc_installer *installer, uint32_t count)
{
    for (uint32_t i = count; i < installer->volume_count; ++i) {
        if (installer->volumes[i].file != nullptr)
            std::fclose(installer->volumes[i].file);
        std::free(installer->volumes[i].path);
        std::memset(&installer->volumes[i], 0, sizeof(arc_volume));
    }
    installer->volume_count = count;
}

/* Volume 1's directory, else the last volume's; the first failure tells why neither served. */
arc_status read_set_directory(arc_installer *installer, const set_survey &survey)
{
    arc_status status = ARC_ERR_OPEN;
    if (installer->volume_count >= 1 && installer->volumes[0].status == ARC_OK) {
        status = arc_read_installer_directory(installer, 0);
        if (status == ARC_OK)
            return status;
    }
    if (survey.last_volume > 1) {
        const arc_status last = arc_read_installer_directory(installer, survey.last_volume - 1);
        if (last == ARC_OK || status == ARC_ERR_OPEN)
            status = last;
    }
    return status;
}

/* The set's size: what volume 1 says, the last volume's number, and what every member needs. */
uint32_t volumes_needed(const arc_installer *installer, const set_survey &survey)
{
    uint32_t count = survey.first_volume_count;
    if (installer->directory_volume + 1 > count)
        count = installer->directory_volume + 1;
    for (uint32_t i = 0; i < installer->archive.member_count; ++i) {
        const arc_member &member = installer->archive.members[i];
        if (member.start_volume > count)
            count = member.start_volume;
        if (member.end_volume > count)
            count = member.end_volume;
    }
    return count;
}

arc_status open_volumes(arc_installer *installer, const arc_volume_names &names,
                        const uint8_t *set_header)
{
    installer->volumes =
        static_cast<arc_volume *>(std::calloc(ARC_MAX_VOLUMES, sizeof(arc_volume)));
    if (installer->volumes == nullptr)
        return ARC_ERR_NO_MEMORY;
    uint32_t highest_found = 0;
    for (uint32_t number = 1; number <= ARC_MAX_VOLUMES; ++number) {
        if (names.found[number] != nullptr)
            highest_found = number;
    }
    set_survey survey = {0, 0};
    arc_status status = add_volumes(installer, names, highest_found, set_header, &survey);
    if (status == ARC_OK)
        status = read_set_directory(installer, survey);
    if (status != ARC_OK)
        return status;
    const uint32_t count = volumes_needed(installer, survey);
    if (count < installer->volume_count)
        drop_volumes_after(installer, count);
    return add_volumes(installer, names, count, set_header, &survey);
}

/* The volume a member's piece @k lies in, counted from its start volume. */
const arc_volume *volume_of_piece(const arc_installer *installer, const arc_member *member,
                                  uint32_t k)
{
    return &installer->volumes[member->start_volume - 1 + k];
}

bool volumes_make_sense(const arc_installer *installer, const arc_member *member)
{
    return member->start_volume != 0 && member->end_volume >= member->start_volume &&
           member->end_volume <= installer->volume_count;
}

/* A member of a plain archive is one piece of its only file. */
arc_status plain_member_piece(const arc_installer *installer, const arc_member *member,
                              arc_piece *pieces, uint32_t *piece_count)
{
    const uint32_t container_start = arc_container_data_start(installer);
    const uint32_t data_start = container_start != 0 ? container_start : uint32_t{ARC_HEADER_SIZE};
    if (!arc_extent_inside(member, data_start, installer->volumes[0].file_size))
        return ARC_ERR_OUTSIDE;
    pieces[0] = {0, member->offset, member->packed_size};
    *piece_count = 1;
    return ARC_OK;
}

} // namespace

/*
 * The volumes of one set share their header's member count, date, time and
 * total size; a volume's own fields say which it is.
 */
bool arc_header_is_volume_of_set(const uint8_t *header, uint32_t number, const uint8_t *set_header)
{
    return read_u16le(header + ARC_HEADER_SET_FLAG) == 1 &&
           header[ARC_HEADER_VOLUME_NUMBER] == number &&
           std::memcmp(header + ARC_HEADER_SET_IDENTITY, set_header + ARC_HEADER_SET_IDENTITY,
                       ARC_HEADER_SET_IDENTITY_SIZE) == 0;
}

arc_status arc_open_disk_set(arc_installer *installer, const char *path, const uint8_t *header,
                             const char *const *named_paths, uint32_t named_count)
{
    arc_volume_names names;
    arc_status status = arc_find_volume_names(path, header, named_paths, named_count, &names);
    if (status == ARC_OK)
        status = open_volumes(installer, names, header);
    arc_free_volume_names(&names);
    return status;
}

arc_status arc_identify_volume(const char *given_path, const char *path, uint32_t *number)
{
    *number = 0;
    uint8_t given[ARC_HEADER_SIZE], header[ARC_HEADER_SIZE];
    if (arc_volume_number_in_header(given_path, given) == 0)
        return ARC_ERR_NOT_ARCHIVE;
    std::FILE *file = arc_open_regular_file(path);
    if (file == nullptr)
        return ARC_ERR_OPEN;
    std::fclose(file);
    const uint32_t claimed = arc_volume_number_in_header(path, header);
    if (claimed == 0 || !arc_header_is_volume_of_set(header, claimed, given))
        return ARC_ERR_NOT_ARCHIVE;
    *number = claimed;
    return ARC_OK;
}

const arc_volume *arc_member_missing_volume(const arc_installer *installer,
                                            const arc_member *member)
{
    if (!installer->disk_set || !volumes_make_sense(installer, member))
        return nullptr;
    for (uint32_t k = 0; k <= static_cast<uint32_t>(member->end_volume - member->start_volume);
         ++k) {
        const arc_volume *volume = volume_of_piece(installer, member, k);
        if (volume->status != ARC_OK)
            return volume;
    }
    return nullptr;
}

arc_status arc_member_pieces(const arc_installer *installer, const arc_member *member,
                             arc_piece *pieces, uint32_t *piece_count)
{
    *piece_count = 0;
    if (!installer->disk_set)
        return plain_member_piece(installer, member, pieces, piece_count);
    if (!volumes_make_sense(installer, member))
        return ARC_ERR_OUTSIDE;
    if (arc_member_missing_volume(installer, member) != nullptr)
        return ARC_ERR_OPEN;

    const uint32_t count = static_cast<uint32_t>(member->end_volume - member->start_volume) + 1;
    uint64_t left = member->packed_size;
    for (uint32_t k = 0; k < count; ++k) {
        const arc_volume *volume = volume_of_piece(installer, member, k);
        const uint64_t start = k == 0 ? member->offset : uint64_t{ARC_HEADER_SIZE};
        const uint64_t end = k + 1 == count ? start + left : volume->data_end;
        if (start < ARC_HEADER_SIZE || end < start || end - start > left ||
            end > static_cast<uint64_t>(volume->file_size)) {
            *piece_count = 0;
            return ARC_ERR_OUTSIDE;
        }
        pieces[k] = {static_cast<uint32_t>(volume - installer->volumes),
                     static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)};
        left -= end - start;
    }
    *piece_count = count;
    return ARC_OK;
}

arc_status arc_read_member_data(const arc_installer *installer, const arc_member *member,
                                uint8_t *packed)
{
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    const arc_status status = arc_member_pieces(installer, member, pieces, &piece_count);
    if (status != ARC_OK)
        return status;
    for (uint32_t k = 0; k < piece_count; ++k) {
        std::FILE *file = installer->volumes[pieces[k].volume].file;
        if (arc_seek_from_start(file, pieces[k].offset) != 0 ||
            std::fread(packed, 1, pieces[k].length, file) != pieces[k].length)
            return ARC_ERR_READ;
        packed += pieces[k].length;
    }
    return ARC_OK;
}
