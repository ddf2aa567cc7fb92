/*
 * container.cc - the setup engine container (_INST32I.EX_) that lies beside
 * an installer's archives: a fixed header, a member count, a table of
 * members, then their implode streams back to back to the end of the file.
 * It is opened as an installer of one root folder, so that its members are
 * read and decoded by the calls that serve an archive's.
 *
 * Each table entry: data offset, compressed size and expanded size (32 bits
 * each), 8 bytes not read, then two names, each a 16-bit length and its
 * bytes: the member's own, and the one the setup program stores it under.
 */
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/file_ops.h"

namespace {

enum {
    CONTAINER_COUNT = 78, /* after the signature, a version word and a copyright text */
    CONTAINER_TABLE = 82,
    ENTRY_NAMES = 20, /* offset, compressed size, expanded size, 8 bytes not read */
    /* The shortest entry and the longest: two names of 1 byte, or of 255. */
    ENTRY_SHORTEST = ENTRY_NAMES + 2 * (2 + 1),
    ENTRY_LONGEST = ENTRY_NAMES + 2 * (2 + 255),
    /*
     * The storage behind the second names, in installer->folder_table: the
     * signature, where the table ends (no member's data may start before it),
     * each member's second name's place in the storage, then the names, each
     * ended by a 0. An archive's folder table, kept only when it is
     * consistent, never starts with the signature: its first two bytes count
     * the members of a folder, and could not count the 43,818 they would read as.
     */
    STORAGE_TABLE_END = 4,
    STORAGE_NAME_PLACES = 8,
};

const uint8_t SIGNATURE[4] = {0x2A, 0xAB, 0x79, 0xD8};

uint32_t stored_u32(const uint8_t *at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

void store_u32(uint8_t *at, uint32_t value)
{
    std::memcpy(at, &value, sizeof(value));
}

const uint8_t *storage_of(const arc_installer *installer)
{
    const uint8_t *storage = installer->folder_table;
    return storage != nullptr && std::memcmp(storage, SIGNATURE, sizeof(SIGNATURE)) == 0 ? storage
                                                                                         : nullptr;
}

/* A name of 1 to 255 bytes, each as a member's name may be, at *@at; null when there is none. */
const uint8_t *take_name(const uint8_t *table, uint32_t length, uint32_t *at, uint32_t *size)
{
    if (length - *at < 2)
        return nullptr;
    *size = read_u16le(table + *at);
    *at += 2;
    if (*size == 0 || *size > 255 || length - *at < *size)
        return nullptr;
    const uint8_t *name = table + *at;
    for (uint32_t i = 0; i < *size; ++i) {
        if (name[i] < 0x20 || name[i] == 0x7F)
            return nullptr;
    }
    *at += *size;
    return name;
}

/* Walks the @length-byte table into the members and the storage; false when it does not parse. */
bool parse_table(arc_installer *installer, const uint8_t *table, uint32_t length, uint32_t count)
{
    uint8_t *storage = installer->folder_table;
    uint32_t at = 0, stored = STORAGE_NAME_PLACES + 4 * count;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < ENTRY_NAMES)
            return false;
        arc_member *member = &installer->archive.members[i];
        member->offset = arc_read_u32le(table + at);
        member->packed_size = arc_read_u32le(table + at + 4);
        member->unpacked_size = arc_read_u32le(table + at + 8);
        at += ENTRY_NAMES;
        uint32_t size = 0, second_size = 0;
        const uint8_t *name = take_name(table, length, &at, &size);
        const uint8_t *second =
            name != nullptr ? take_name(table, length, &at, &second_size) : nullptr;
        if (second == nullptr)
            return false;
        std::memcpy(member->name, name, size);
        member->name[size] = '\0';
        store_u32(storage + STORAGE_NAME_PLACES + 4 * i, stored);
        std::memcpy(storage + stored, second, second_size);
        storage[stored + second_size] = 0;
        stored += second_size + 1;
    }
    store_u32(storage + STORAGE_TABLE_END, CONTAINER_TABLE + at);
    return true;
}

/* The members, the root folder and the storage, for a table that claims @count members. */
arc_status read_table(arc_installer *installer, std::FILE *file, int64_t file_size, uint32_t count)
{
    /* Every claim is held to the file's size before memory is taken for it. */
    if (count == 0 || count > ARC_MAX_MEMBERS ||
        static_cast<int64_t>(count) * ENTRY_SHORTEST > file_size - CONTAINER_TABLE)
        return ARC_ERR_DIRECTORY;
    const int64_t longest = static_cast<int64_t>(count) * ENTRY_LONGEST;
    const uint32_t length = static_cast<uint32_t>(
        file_size - CONTAINER_TABLE < longest ? file_size - CONTAINER_TABLE : longest);
    uint8_t *table = static_cast<uint8_t *>(std::malloc(length));
    installer->archive.members = static_cast<arc_member *>(std::calloc(count, sizeof(arc_member)));
    installer->folders = static_cast<arc_folder *>(std::calloc(1, sizeof(arc_folder)));
    installer->folder_table =
        static_cast<uint8_t *>(std::malloc(STORAGE_NAME_PLACES + 4 * size_t{count} + length));
    arc_status status = ARC_OK;
    if (table == nullptr || installer->archive.members == nullptr ||
        installer->folders == nullptr || installer->folder_table == nullptr) {
        status = ARC_ERR_NO_MEMORY;
    } else if (arc_seek_from_start(file, CONTAINER_TABLE) != 0 ||
               std::fread(table, 1, length, file) != length) {
        status = ARC_ERR_READ;
    } else {
        std::memcpy(installer->folder_table, SIGNATURE, sizeof(SIGNATURE));
        if (!parse_table(installer, table, length, count))
            status = ARC_ERR_DIRECTORY;
    }
    std::free(table);
    return status;
}

} // namespace

bool arc_starts_as_container(std::FILE *file)
{
    uint8_t first[sizeof(SIGNATURE)];
    return arc_seek_from_start(file, 0) == 0 && std::fread(first, 1, sizeof(first), file) == 4 &&
           std::memcmp(first, SIGNATURE, sizeof(SIGNATURE)) == 0;
}

arc_status arc_read_container(arc_installer *installer, std::FILE *file, int64_t file_size)
{
    uint8_t count[4];
    if (file_size < CONTAINER_TABLE)
        return ARC_ERR_DIRECTORY;
    if (arc_seek_from_start(file, CONTAINER_COUNT) != 0 || std::fread(count, 1, 4, file) != 4)
        return ARC_ERR_READ;
    const arc_status status = read_table(installer, file, file_size, arc_read_u32le(count));
    if (status != ARC_OK)
        return status;
    installer->archive.file_size = file_size;
    installer->archive.member_count = arc_read_u32le(count);
    installer->folder_count = 1;
    installer->folders[0].name = "";
    installer->folders[0].member_count = installer->archive.member_count;
    return ARC_OK;
}

uint32_t arc_container_data_start(const arc_installer *installer)
{
    const uint8_t *storage = storage_of(installer);
    return storage != nullptr ? stored_u32(storage + STORAGE_TABLE_END) : 0;
}

const char *arc_member_stored_as(const arc_installer *installer, const arc_member *member)
{
    const uint8_t *storage = storage_of(installer);
    const arc_member *members = installer->archive.members;
    if (storage == nullptr || member < members ||
        member >= members + installer->archive.member_count)
        return nullptr;
    const size_t index = static_cast<size_t>(member - members);
    return reinterpret_cast<const char *>(storage +
                                          stored_u32(storage + STORAGE_NAME_PLACES + 4 * index));
}
