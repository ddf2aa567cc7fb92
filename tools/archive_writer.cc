#include "tools/archive_writer.h"

#include <cstdio>

#include "tools/implode_encoder.h"

namespace {

const size_t HEADER_SIZE = 255;

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

/* A record: 15 bytes not read, sizes and offset, 8 not read, length and flags, 2 not read. */
void append_record(std::vector<uint8_t> &out, const test_member &member, uint32_t offset)
{
    const size_t start = out.size();
    out.resize(start + 41, 0);
    put_u32(out, start + 15, member.unpacked_size);
    put_u32(out, start + 19,
            member.packed_size.value_or(static_cast<uint32_t>(member.data.size())));
    put_u32(out, start + 23, member.offset.value_or(offset));
    put_u16(out, start + 35,
            member.record_length.value_or(static_cast<uint16_t>(member.name.size() + 43)));
    put_u16(out, start + 37, member.flags);
    out.push_back(member.name_length.value_or(static_cast<uint8_t>(member.name.size())));
    out.insert(out.end(), member.name.begin(), member.name.end());
    out.push_back(member.name_terminator);
}

} // namespace

uint32_t default_data_offset(const test_archive &archive, size_t member_index)
{
    size_t offset = HEADER_SIZE;
    for (size_t i = 0; i < member_index; ++i)
        offset += archive.members[i].data.size();
    return static_cast<uint32_t>(offset);
}

std::vector<uint8_t> build_archive(const test_archive &archive)
{
    std::vector<uint8_t> out(HEADER_SIZE, 0);
    std::vector<uint32_t> offsets;
    for (const test_member &member : archive.members) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        out.insert(out.end(), member.data.begin(), member.data.end());
    }

    const size_t directory_start = out.size();
    out.insert(out.end(), archive.junk_before_records.begin(), archive.junk_before_records.end());
    for (size_t i = 0; i < archive.members.size(); ++i)
        append_record(out, archive.members[i], offsets[i]);
    for (const test_member &extra : archive.extra_records)
        append_record(out, extra, static_cast<uint32_t>(HEADER_SIZE));
    const size_t directory_end = out.size();
    out.insert(out.end(), archive.trailing.begin(), archive.trailing.end());

    put_u32(out, 0, archive.signature);
    put_u16(out, 12, archive.member_count.value_or(static_cast<uint16_t>(archive.members.size())));
    put_u32(out, 51, archive.directory_offset.value_or(static_cast<uint32_t>(directory_start)));
    put_u32(
        out, 55,
        archive.directory_size.value_or(static_cast<uint32_t>(directory_end - directory_start)));

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
