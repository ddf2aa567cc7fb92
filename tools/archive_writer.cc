#include "tools/archive_writer.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "tools/implode_encoder.h"

namespace {

const size_t HEADER_SIZE = 255;
/* The file version and 4 zero bytes that end a record after its name. */
const size_t RECORD_TRAILER = 12;

void put_u16(std::vector<uint8_t> &out, size_t at, uint32_t value)
{
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put_u32(std::vector<uint8_t> &out, size_t at, uint32_t value)
{
    put_u16(out, at, value & 0xFFFF);
    put_u16(out, at + 2, value >> 16);
}

/* A record as it truly lies: 29 bytes of fields, the name, then the file version. */
void append_record(std::vector<uint8_t> &out, const test_member &member, uint32_t offset)
{
    const size_t start = out.size();
    out.resize(start + 29, 0);
    out[start] = member.end_volume;
    put_u16(out, start + 1, member.folder);
    put_u32(out, start + 3, member.unpacked_size);
    put_u32(out, start + 7, member.packed_size.value_or(static_cast<uint32_t>(member.data.size())));
    put_u32(out, start + 11, member.offset.value_or(offset));
    put_u16(out, start + 15, member.dos_date);
    put_u16(out, start + 17, member.dos_time);
    put_u32(out, start + 19, member.attributes);
    put_u16(out, start + 23,
            member.record_length.value_or(static_cast<uint16_t>(member.name.size() + 43)));
    put_u16(out, start + 25, member.flags);
    out[start + 28] = member.start_volume;
    out.push_back(member.name_length.value_or(static_cast<uint8_t>(member.name.size())));
    out.insert(out.end(), member.name.begin(), member.name.end());
    out.push_back(member.name_terminator);
    const size_t version = out.size();
    out.resize(version + RECORD_TRAILER, 0);
    put_u32(out, version, member.version_high);
    put_u32(out, version + 4, member.version_low);
}

void append_folder_table(std::vector<uint8_t> &out, const test_archive &archive)
{
    for (size_t f = 0; f < archive.folders.size(); ++f) {
        const test_folder &folder = archive.folders[f];
        uint16_t members = 0;
        for (const test_member &member : archive.members)
            members = static_cast<uint16_t>(members + (member.folder == f ? 1 : 0));
        const size_t at = out.size();
        out.resize(at + 6, 0);
        put_u16(out, at, folder.member_count.value_or(members));
        put_u16(out, at + 2,
                folder.entry_length.value_or(static_cast<uint16_t>(folder.name.size() + 11)));
        put_u16(out, at + 4, static_cast<uint32_t>(folder.name.size()));
        out.insert(out.end(), folder.name.begin(), folder.name.end());
        out.resize(out.size() + 5, 0);
    }
}

void put_header(std::vector<uint8_t> &out, const test_archive &archive, size_t table_start,
                size_t directory_start, size_t directory_end)
{
    put_u32(out, 0, archive.signature);
    put_u16(out, 10, archive.set_flag);
    put_u16(out, 12, archive.member_count.value_or(static_cast<uint16_t>(archive.members.size())));
    put_u16(out, 14, archive.dos_date);
    put_u16(out, 16, archive.dos_time);
    put_u32(out, 18, archive.total_size);
    out[30] = archive.volume_count;
    out[31] = archive.volume_number;
    put_u32(out, 33, archive.continued_start);
    put_u32(out, 37, archive.continued_end);
    const bool has_table = !archive.folders.empty();
    put_u32(
        out, 41,
        archive.folder_table_offset.value_or(has_table ? static_cast<uint32_t>(table_start) : 0));
    put_u16(
        out, 45,
        archive.folder_table_size.value_or(static_cast<uint16_t>(directory_start - table_start)));
    put_u16(out, 49, archive.folder_count.value_or(static_cast<uint16_t>(archive.folders.size())));
    put_u32(out, 51, archive.directory_offset.value_or(static_cast<uint32_t>(directory_start)));
    put_u32(
        out, 55,
        archive.directory_size.value_or(static_cast<uint32_t>(directory_end - directory_start)));
}

} // namespace

uint32_t default_data_offset(const test_archive &archive, size_t member_index)
{
    size_t offset = HEADER_SIZE + archive.leading_data.size();
    for (size_t i = 0; i < member_index; ++i)
        offset += archive.members[i].data.size();
    return static_cast<uint32_t>(offset);
}

std::vector<uint8_t> build_archive(const test_archive &archive)
{
    std::vector<uint8_t> out(HEADER_SIZE + archive.leading_data.size(), 0);
    std::copy(archive.leading_data.begin(), archive.leading_data.end(), out.begin() + HEADER_SIZE);
    std::vector<uint32_t> offsets;
    for (const test_member &member : archive.members) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        out.insert(out.end(), member.data.begin(), member.data.end());
    }
    const size_t table_start = out.size();
    append_folder_table(out, archive);

    /* The walk's first fixed fields begin 12 bytes before the first record truly starts. */
    const size_t directory_start = out.size();
    out.insert(out.end(), archive.junk_before_records.begin(), archive.junk_before_records.end());
    if (!archive.true_record_layout)
        out.resize(out.size() + RECORD_TRAILER, 0);
    for (size_t i = 0; i < archive.members.size(); ++i)
        append_record(out, archive.members[i], offsets[i]);
    for (const test_member &extra : archive.extra_records)
        append_record(out, extra, static_cast<uint32_t>(HEADER_SIZE));
    if (!archive.true_record_layout && (!archive.members.empty() || !archive.extra_records.empty()))
        out.resize(out.size() - RECORD_TRAILER);
    const size_t directory_end = out.size();
    out.insert(out.end(), archive.trailing.begin(), archive.trailing.end());

    put_header(out, archive, table_start, directory_start, directory_end);
    if (archive.truncate_to && *archive.truncate_to < out.size())
        out.resize(*archive.truncate_to);
    return out;
}

test_member raw_member(const std::string &name, const std::vector<uint8_t> &data,
                       uint32_t unpacked_size)
{
    test_member member;
    member.name = name;
    member.data = data;
    member.unpacked_size = unpacked_size;
    return member;
}

test_member packed_member(const std::string &name, const std::vector<uint8_t> &plain,
                          int literal_mode, int dictionary_bits)
{
    implode_options options;
    options.literal_mode = literal_mode;
    options.dictionary_bits = dictionary_bits;
    test_member member;
    member.name = name;
    member.data = implode(plain, options);
    member.unpacked_size = static_cast<uint32_t>(plain.size());
    return member;
}

std::vector<uint8_t> bytes_of(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

namespace {

/* Where each member's data lies in the set as one stream, and which volume holds a byte. */
struct set_layout {
    std::vector<size_t> member_start; /* in the stream */
    std::vector<size_t> volume_start; /* in the stream; one more entry: the stream's end */
};

set_layout lay_out(const test_set &set)
{
    set_layout layout;
    size_t at = 0;
    for (const test_member &member : set.members) {
        layout.member_start.push_back(at);
        at += member.data.size();
    }
    size_t volume = 0;
    for (size_t v = 0; v < set.volume_data_sizes.size(); ++v) {
        layout.volume_start.push_back(volume);
        volume = v + 1 < set.volume_data_sizes.size() ? volume + set.volume_data_sizes[v] : at;
    }
    layout.volume_start.push_back(volume);
    return layout;
}

/* The volume, from 1, whose share of the stream holds byte @at. */
uint8_t volume_holding(const set_layout &layout, size_t at)
{
    size_t v = 0;
    while (v + 2 < layout.volume_start.size() && at >= layout.volume_start[v + 1])
        ++v;
    return static_cast<uint8_t>(v + 1);
}

/* The directory records every volume holds: true volumes and offsets. */
std::vector<test_member> set_records(const test_set &set, const set_layout &layout)
{
    std::vector<test_member> records;
    for (size_t i = 0; i < set.members.size(); ++i) {
        test_member record = set.members[i];
        const size_t start = layout.member_start[i];
        const size_t size = record.data.size();
        record.start_volume = volume_holding(layout, start);
        record.end_volume = volume_holding(layout, size != 0 ? start + size - 1 : start);
        record.offset = static_cast<uint32_t>(HEADER_SIZE + start -
                                              layout.volume_start[record.start_volume - 1]);
        record.packed_size = static_cast<uint32_t>(size);
        if (record.start_volume != record.end_volume)
            record.flags = static_cast<uint16_t>(record.flags | 0x0100);
        record.data.clear();
        records.push_back(record);
    }
    return records;
}

/* What a middle volume may hold instead: members after it with volume 0 and virtual offsets. */
std::vector<test_member> interim_records(std::vector<test_member> records, const set_layout &layout,
                                         uint8_t volume)
{
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].start_volume <= volume)
            continue;
        records[i].start_volume = 0;
        records[i].end_volume = 0;
        records[i].offset = static_cast<uint32_t>(HEADER_SIZE + layout.member_start[i]);
    }
    return records;
}

} // namespace

std::vector<test_archive> set_volumes(const test_set &set)
{
    std::vector<uint8_t> stream;
    for (const test_member &member : set.members)
        stream.insert(stream.end(), member.data.begin(), member.data.end());
    const set_layout layout = lay_out(set);
    const std::vector<test_member> records = set_records(set, layout);

    std::vector<test_archive> volumes;
    for (size_t v = 0; v < set.volume_data_sizes.size(); ++v) {
        const uint8_t number = static_cast<uint8_t>(v + 1);
        test_archive volume;
        volume.members = set.interim_directory_volume == number
                             ? interim_records(records, layout, number)
                             : records;
        volume.folders = set.folders;
        volume.true_record_layout = true;
        volume.leading_data.assign(
            stream.begin() + static_cast<std::ptrdiff_t>(layout.volume_start[v]),
            stream.begin() + static_cast<std::ptrdiff_t>(layout.volume_start[v + 1]));
        volume.set_flag = 1;
        volume.dos_date = set.dos_date;
        volume.dos_time = set.dos_time;
        volume.volume_count = v == 0 ? static_cast<uint8_t>(set.volume_data_sizes.size()) : 0;
        volume.volume_number = number;
        for (size_t i = 0; i < records.size(); ++i) {
            const test_member &record = records[i];
            /* A volume wholly inside a member goes on into the next from its first data byte. */
            if (record.start_volume <= number && record.end_volume > number)
                volume.continued_start = record.start_volume == number
                                             ? *record.offset
                                             : static_cast<uint32_t>(HEADER_SIZE);
            const size_t member_end = layout.member_start[i] + set.members[i].data.size();
            if (record.start_volume < number && record.end_volume >= number)
                volume.continued_end = static_cast<uint32_t>(
                    HEADER_SIZE +
                    std::min(volume.leading_data.size(), member_end - layout.volume_start[v]));
        }
        volumes.push_back(volume);
    }
    /* The size the set would have as one file: what any volume holds beyond its data, once. */
    test_archive whole = volumes[0];
    whole.leading_data = stream;
    const uint32_t total = static_cast<uint32_t>(build_archive(whole).size());
    for (test_archive &volume : volumes)
        volume.total_size = total;
    return volumes;
}

std::vector<uint8_t> build_container(const test_container &container)
{
    static const char COPYRIGHT[] =
        "Copyright (c) a test container, made by varlix's archive writer";
    static const uint8_t SIGNATURE[] = {0x2A, 0xAB, 0x79, 0xD8, 1, 0, 0, 0};
    std::vector<uint8_t> out(82, 0);
    std::copy(std::begin(SIGNATURE), std::end(SIGNATURE), out.begin());
    std::copy(COPYRIGHT, COPYRIGHT + sizeof(COPYRIGHT) - 1, out.begin() + 8);
    put_u32(out, 78,
            container.member_count.value_or(static_cast<uint32_t>(container.members.size())));
    std::vector<size_t> entries;
    for (const test_container_member &entry : container.members) {
        entries.push_back(out.size());
        out.resize(out.size() + 20);
        for (const auto &name : {std::make_pair(entry.member.name, entry.name_length),
                                 std::make_pair(entry.stored_as, entry.stored_as_length)}) {
            const size_t at = out.size();
            out.resize(at + 2);
            put_u16(out, at, name.second.value_or(static_cast<uint16_t>(name.first.size())));
            out.insert(out.end(), name.first.begin(), name.first.end());
        }
    }
    for (size_t i = 0; i < container.members.size(); ++i) {
        const test_member &member = container.members[i].member;
        put_u32(out, entries[i], member.offset.value_or(static_cast<uint32_t>(out.size())));
        put_u32(out, entries[i] + 4,
                member.packed_size.value_or(static_cast<uint32_t>(member.data.size())));
        put_u32(out, entries[i] + 8, member.unpacked_size);
        out.insert(out.end(), member.data.begin(), member.data.end());
    }
    if (container.truncate_to)
        out.resize(*container.truncate_to);
    return out;
}
