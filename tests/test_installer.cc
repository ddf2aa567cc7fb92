/*
 * Whole installers from one file: the folder table, member details, code-page
 * names, and members read and decoded one at a time.
 */
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"
#include "tools/recording_sink.h"

namespace {

class InstallerTest : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        file = path("DATA.Z");
    }

    void TearDown() override
    {
        arc_close_installer(&installer);
        ScratchDirTest::TearDown();
    }

    arc_status open_layout(const test_archive &layout)
    {
        arc_close_installer(&installer);
        EXPECT_TRUE(write_file(file, build_archive(layout)));
        return arc_open_installer(file.c_str(), &installer);
    }

    const arc_member &member(uint32_t i) const
    {
        return installer.archive.members[i];
    }

    std::string folder_name(uint32_t f) const
    {
        return std::string(installer.folders[f].name, installer.folders[f].name_length);
    }

    std::string file;
    arc_installer installer = {};
};

test_member member_in(uint16_t folder, const std::string &name, const std::string &text)
{
    test_member member = packed_member(name, bytes_of(text));
    member.folder = folder;
    return member;
}

/* Four folders: the root, a nested path, a code-page (Shift-JIS) name, and one more. */
test_archive foldered_archive()
{
    test_archive layout;
    layout.true_record_layout = true;
    layout.folders = {{"", {}, {}},
                      {"MAPDATA\\NORTH", {}, {}},
                      {"\x83\x66\x81\x5B\x83\x5E", {}, {}},
                      {"HELP", {}, {}}};
    layout.members = {
        member_in(0, "SETUP.INI", "root file"), member_in(1, "README.TXT", "the north map's notes"),
        member_in(1, "MAP.DAT", "map"), member_in(2, "caf\xE9 \xA9.txt", "code-page name"),
        member_in(3, "README.TXT", "the help's own notes")};
    return layout;
}

TEST_F(InstallerTest, ConsistentFolderTableGivesEachMemberItsFolder)
{
    ASSERT_EQ(open_layout(foldered_archive()), ARC_OK);
    EXPECT_FALSE(installer.disk_set);
    ASSERT_EQ(installer.folder_count, 4u);
    EXPECT_EQ(folder_name(0), "");
    EXPECT_EQ(folder_name(1), "MAPDATA\\NORTH");
    EXPECT_EQ(folder_name(2), "\x83\x66\x81\x5B\x83\x5E");
    EXPECT_EQ(installer.folders[2].name[installer.folders[2].name_length], '\0');
    const uint32_t counts[] = {1, 2, 1, 1};
    for (uint32_t f = 0; f < 4; ++f)
        EXPECT_EQ(installer.folders[f].member_count, counts[f]) << f;
    ASSERT_EQ(installer.archive.member_count, 5u);
    const uint16_t folders[] = {0, 1, 1, 2, 3};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(member(i).folder, folders[i]) << i;
    EXPECT_STREQ(member(3).name, "caf\xE9 \xA9.txt");
}

TEST_F(InstallerTest, SameNameInTwoFoldersIsReachedByIndex)
{
    ASSERT_EQ(open_layout(foldered_archive()), ARC_OK);
    const member_bytes north = read_and_decode(installer, member(1));
    const member_bytes help = read_and_decode(installer, member(4));
    ASSERT_EQ(north.status, ARC_OK);
    ASSERT_EQ(help.status, ARC_OK);
    EXPECT_EQ(north.bytes, bytes_of("the north map's notes"));
    EXPECT_EQ(help.bytes, bytes_of("the help's own notes"));
}

TEST_F(InstallerTest, CodePageNamesAreForTheInstallerReaderOnly)
{
    ASSERT_EQ(open_layout(foldered_archive()), ARC_OK);
    arc_archive plain;
    EXPECT_EQ(arc_open(file.c_str(), &plain), ARC_ERR_DIRECTORY);
    arc_close(&plain);
    /* 0x7F is refused by both. */
    test_archive layout = foldered_archive();
    layout.members[3].name = "del\x7F";
    EXPECT_EQ(open_layout(layout), ARC_ERR_DIRECTORY);
}

TEST_F(InstallerTest, InconsistentFolderTableSendsEveryMemberToTheRoot)
{
    struct table_case {
        const char *what;
        test_archive layout;
    };
    std::vector<table_case> cases;
    cases.push_back({"counts add up to one more", foldered_archive()});
    cases.back().layout.folders[3].member_count = 2;
    cases.push_back({"counts add up but one folder's is wrong", foldered_archive()});
    cases.back().layout.folders[0].member_count = 2;
    cases.back().layout.folders[1].member_count = 1;
    cases.push_back({"folder index out of range", foldered_archive()});
    cases.back().layout.members[4].folder = 4;
    cases.back().layout.folders[3].member_count = 1;
    cases.push_back({"entry length not name + 11", foldered_archive()});
    cases.back().layout.folders[1].entry_length = 25;
    cases.push_back({"one folder fewer counted", foldered_archive()});
    cases.back().layout.folder_count = 3;
    cases.push_back({"table past the end of the file", foldered_archive()});
    cases.back().layout.folder_table_offset = 1u << 20;

    for (const table_case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(open_layout(c.layout), ARC_OK);
        ASSERT_EQ(installer.folder_count, 1u);
        EXPECT_EQ(installer.folders[0].name_length, 0u);
        EXPECT_STREQ(installer.folders[0].name, "");
        EXPECT_EQ(installer.folders[0].member_count, 5u);
        for (uint32_t i = 0; i < installer.archive.member_count; ++i)
            EXPECT_EQ(member(i).folder, 0) << i;
        EXPECT_EQ(read_and_decode(installer, member(4)).bytes, bytes_of("the help's own notes"));
    }
}

TEST_F(InstallerTest, DetailsComeFromTheRecordsForBothReaders)
{
    test_archive layout;
    layout.members = {packed_member("A.DLL", bytes_of("MZ a library")),
                      packed_member("B.TXT", bytes_of("text"))};
    test_member &dll = layout.members[0];
    dll.dos_date = (1999 - 1980) << 9 | 12 << 5 | 31;
    dll.dos_time = 23 << 11 | 59 << 5 | 29;
    dll.attributes = ARC_ATTRIBUTE_READ_ONLY | ARC_ATTRIBUTE_ARCHIVE;
    dll.flags = 0x0040;
    dll.version_high = 5u << 16 | 1;
    dll.version_low = 43u << 16 | 19;
    layout.members[1].version_high = 7; /* dropped: the default layout ends at the name */

    ASSERT_EQ(open_layout(layout), ARC_OK);
    arc_archive plain;
    ASSERT_EQ(arc_open(file.c_str(), &plain), ARC_OK);
    for (const arc_member *read : {&member(0), static_cast<const arc_member *>(plain.members)}) {
        EXPECT_EQ(read->dos_date, dll.dos_date);
        EXPECT_EQ(read->dos_time, dll.dos_time);
        EXPECT_EQ(read->attributes, dll.attributes);
        EXPECT_EQ(read->flags, dll.flags);
        EXPECT_EQ(read->version_high, dll.version_high);
        EXPECT_EQ(read->version_low, dll.version_low);
    }
    EXPECT_EQ(member(1).version_high, 0u);
    EXPECT_EQ(plain.members[1].version_high, 0u);
    arc_close(&plain);

    layout.true_record_layout = true;
    ASSERT_EQ(open_layout(layout), ARC_OK);
    EXPECT_EQ(member(1).version_high, 7u);
}

TEST_F(InstallerTest, MemberOutsideTheFileFailsAlone)
{
    test_archive layout = foldered_archive();
    layout.members[2].offset = 1u << 20;
    ASSERT_EQ(open_layout(layout), ARC_OK);
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 7;
    EXPECT_EQ(arc_member_pieces(&installer, &member(2), pieces, &piece_count), ARC_ERR_OUTSIDE);
    EXPECT_EQ(piece_count, 0u);
    EXPECT_EQ(arc_member_missing_volume(&installer, &member(2)), nullptr);
    EXPECT_EQ(read_and_decode(installer, member(2)).status, ARC_ERR_OUTSIDE);
    for (uint32_t i : {0u, 1u, 3u, 4u})
        EXPECT_EQ(read_and_decode(installer, member(i)).status, ARC_OK) << i;
}

TEST_F(InstallerTest, DecodeTellsWriteDamageAndSizeFaultsApart)
{
    const std::vector<uint8_t> plain = sample_text(10000, 3);
    test_archive layout;
    layout.members = {packed_member("A.TXT", plain)};
    ASSERT_EQ(open_layout(layout), ARC_OK);
    arc_member entry = member(0);
    std::vector<uint8_t> packed(entry.packed_size);
    ASSERT_EQ(arc_read_member_data(&installer, &entry, packed.data()), ARC_OK);

    recording_sink refusing;
    refusing.fail_on_call = 2;
    EXPECT_EQ(arc_decode_member(packed.data(), &entry, recording_sink_take, &refusing),
              ARC_ERR_WRITE);
    recording_sink sink;
    entry.unpacked_size += 1;
    EXPECT_EQ(arc_decode_member(packed.data(), &entry, recording_sink_take, &sink), ARC_ERR_SIZE);
    entry.unpacked_size -= 1;
    packed[0] = 7; /* no such literal mode */
    EXPECT_EQ(arc_decode_member(packed.data(), &entry, recording_sink_take, &sink),
              ARC_ERR_DAMAGED);
}

/* A member whose data is the file itself, as real setup libraries hold some. */
test_member stored_member(const std::string &name, const std::vector<uint8_t> &data,
                          uint32_t unpacked_size)
{
    test_member member = raw_member(name, data, unpacked_size);
    member.flags = ARC_FLAG_STORED;
    return member;
}

TEST_F(InstallerTest, StoredMembersAreCopiedInTheDecodersBlocksAndChecked)
{
    std::vector<uint8_t> exe = random_bytes(9000, 5);
    exe[0] = 'M';
    exe[1] = 'Z';
    test_archive layout;
    layout.members = {stored_member("A.DLL", exe, 9000), packed_member("B.TXT", sample_text(99, 1)),
                      stored_member("C.EXE", exe, 9001), stored_member("EMPTY", {}, 0)};
    ASSERT_EQ(open_layout(layout), ARC_OK);
    recording_sink sink;
    std::vector<uint8_t> packed(9000);
    ASSERT_EQ(arc_read_member_data(&installer, &member(0), packed.data()), ARC_OK);
    EXPECT_EQ(arc_decode_member(packed.data(), &member(0), recording_sink_take, &sink), ARC_OK);
    EXPECT_EQ(sink.call_sizes, window_call_sizes(9000));
    EXPECT_EQ(sink.bytes, exe);
    EXPECT_EQ(read_and_decode(installer, member(1)).bytes, sample_text(99, 1));
    EXPECT_EQ(read_and_decode(installer, member(2)).status, ARC_ERR_SIZE);
    EXPECT_EQ(read_and_decode(installer, member(3)).status, ARC_OK);
    const std::string out = path("c.exe");
    EXPECT_EQ(arc_extract_installer_member(&installer, &member(2), out.c_str()), ARC_ERR_SIZE);
    EXPECT_FALSE(path_exists(out));
}

TEST_F(InstallerTest, ExtractionKeepsTheFileOnlyWhenItIsRight)
{
    test_archive layout = foldered_archive();
    layout.members[1].unpacked_size += 1;
    ASSERT_EQ(open_layout(layout), ARC_OK);
    const std::string out = path("out");
    ASSERT_EQ(arc_extract_installer_member(&installer, &member(0), out.c_str()), ARC_OK);
    EXPECT_EQ(read_file_bytes(out), bytes_of("root file"));
    EXPECT_EQ(arc_extract_installer_member(&installer, &member(1), path("bad").c_str()),
              ARC_ERR_SIZE);
    EXPECT_FALSE(path_exists(path("bad")));
    EXPECT_EQ(arc_extract_installer_member(&installer, &member(0), file.c_str()), ARC_ERR_WRITE);
    EXPECT_EQ(read_file_bytes(file), build_archive(layout));
}

TEST_F(InstallerTest, FailedOpenLeavesNothingCounted)
{
    EXPECT_EQ(arc_open_installer(path("missing.z").c_str(), &installer), ARC_ERR_OPEN);
    EXPECT_EQ(installer.volume_count, 0u);
    test_archive layout = foldered_archive();
    layout.members[1].record_length = 7;
    EXPECT_EQ(open_layout(layout), ARC_ERR_DIRECTORY);
    EXPECT_EQ(installer.archive.member_count, 0u);
    EXPECT_EQ(installer.folder_count, 0u);
    arc_close_installer(&installer);
    arc_close_installer(&installer);
    EXPECT_EQ(installer.volumes, nullptr);
}

} // namespace
