/*
 * archive_writer.h - builds InstallShield 3 archives in memory, well formed
 * by default, with every field open to override so that a malformed archive
 * is one short expression. For tests, fuzz seeds, benchmarks and the example
 * archive; not part of the tool.
 *
 * Layout: the 255-byte header, each member's stored bytes in order, then the
 * directory (optional junk, then one record per member, then optional extra
 * bytes), then optional trailing bytes.
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
};

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
