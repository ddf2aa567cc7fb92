/*
 * archive_writer.h - builds InstallShield 3 archives in memory, well formed
 * by default, with every field open to override so that a malformed archive
 * is one short expression. For tests, fuzz seeds, benchmarks and the example
 * archive; not part of the tool.
 *
 * Layout: the 255-byte header, optional leading bytes, each member's stored
 * bytes in order, the folder table when there is one, then the directory
 * (optional junk, then one record per member, then optional extra records),
 * then optional trailing bytes.
 *
 * A record truly starts 12 bytes after where the walk's 41 bytes of fixed
 * fields begin, and ends with the file version after the name. By default the
 * directory offset points at those 41 bytes and the last record's version is
 * left out; true_record_layout lays the directory out as real archives do.
 */
#ifndef VARLIX_TOOLS_ARCHIVE_WRITER_H
#define VARLIX_TOOLS_ARCHIVE_WRITER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct test_member {
    std::string name;           /* raw name bytes, written as given */
    std::vector<uint8_t> data;  /* the stored (compressed) bytes */
    uint32_t unpacked_size = 0; /* as recorded in the directory */

    /* Overrides of what the writer would otherwise derive. */
    std::optional<uint32_t> offset;        /* default: where the data was placed */
    std::optional<uint32_t> packed_size;   /* default: data.size() */
    std::optional<uint16_t> record_length; /* default: name length + 43 */
    std::optional<uint8_t> name_length;    /* default: name.size() */
    uint16_t flags = 0;                    /* the per-file flags after the record length */
    uint8_t name_terminator = 0;           /* the byte after the name */

    /* Details, written as given. */
    uint16_t folder = 0;
    uint16_t dos_date = 0;
    uint16_t dos_time = 0;
    uint32_t attributes = 0;
    uint8_t start_volume = 0;
    uint8_t end_volume = 0;
    uint32_t version_high = 0;
    uint32_t version_low = 0;
};

/* A folder table entry. */
struct test_folder {
    std::string name;                     /* raw name bytes, written as given */
    std::optional<uint16_t> member_count; /* default: members that name this folder */
    std::optional<uint16_t> entry_length; /* default: name length + 11 */
};

struct test_archive {
    std::vector<test_member> members;

    uint32_t signature = 0x8C655D13u;
    std::optional<uint16_t> member_count;     /* default: members.size() */
    std::optional<uint32_t> directory_offset; /* default: where the directory starts */
    std::optional<uint32_t> directory_size;   /* default: up to the end of the records */

    std::vector<uint8_t> junk_before_records; /* at the directory offset, before record 1 */
    std::vector<test_member> extra_records;   /* uncounted records after the counted ones */
    std::vector<uint8_t> trailing;            /* after the directory */
    std::optional<size_t> truncate_to;        /* cut the file to this many bytes */

    std::vector<uint8_t> leading_data; /* right after the header, before the members' data */
    std::vector<test_folder> folders;  /* the folder table; none when empty */
    bool true_record_layout = false;   /* see above */

    /* Header fields the plain reader leaves aside; 0 unless given. */
    std::optional<uint32_t> folder_table_offset; /* default: where the table was placed */
    std::optional<uint16_t> folder_table_size;   /* default: its length */
    std::optional<uint16_t> folder_count;        /* default: folders.size() */
    uint16_t set_flag = 0;
    uint16_t dos_date = 0;
    uint16_t dos_time = 0;
    uint32_t total_size = 0;
    uint8_t volume_count = 0;
    uint8_t volume_number = 0;
    uint32_t continued_start = 0; /* where the member going on into the next volume starts */
    uint32_t continued_end = 0;   /* where the piece continued from the previous volume ends */
};

/*
 * A disk set: the members' data laid end to end over the volumes, each volume
 * holding a header, its share of the data, the folder table and a directory
 * of every member, as installers spanned over disks are made.
 */
struct test_set {
    std::vector<test_member>
        members; /* data and details; volumes, offsets and flag 0x0100 are set */
    std::vector<test_folder> folders;
    /* Bytes of member data each volume holds; the last takes the rest. One entry per volume. */
    std::vector<size_t> volume_data_sizes;
    uint16_t dos_date = 0x2704;
    uint16_t dos_time = 0x93B5;
    /* A middle volume whose directory is an interim copy (later members: volume 0, offsets
       into one virtual file), or 0. */
    uint8_t interim_directory_volume = 0;
};

/*
 * A setup engine container: the fixed header, the member count, the table
 * (offset, sizes, 8 zero bytes, the two names), then each member's data.
 */
struct test_container_member {
    test_member member;    /* name, data, unpacked_size, and offset and packed_size overrides */
    std::string stored_as; /* the second name */
    std::optional<uint16_t> name_length, stored_as_length; /* default: the names' lengths */
};

struct test_container {
    std::vector<test_container_member> members;
    std::optional<uint32_t> member_count; /* default: members.size() */
    std::optional<size_t> truncate_to;
};

std::vector<uint8_t> build_container(const test_container &container);

/* The volumes' layouts, volume 1 first, each open to change before it is built. */
std::vector<test_archive> set_volumes(const test_set &set);

/* The archive's bytes. */
std::vector<uint8_t> build_archive(const test_archive &archive);

/* A member that stores @data as given and records @unpacked_size. */
test_member raw_member(const std::string &name, const std::vector<uint8_t> &data,
                       uint32_t unpacked_size);

/* A member whose data is @plain compressed with default settings, sized to match. */
test_member packed_member(const std::string &name, const std::vector<uint8_t> &plain,
                          int literal_mode = 0, int dictionary_bits = 6);

/* Where a member's data starts when every member before it is laid out by default. */
uint32_t default_data_offset(const test_archive &archive, size_t member_index);

std::vector<uint8_t> bytes_of(const std::string &text);

/* Writes @bytes to @path; returns false on failure. */
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

#endif
