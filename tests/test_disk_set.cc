/*
 * Disk sets built in code: members spread over 2 to 4 volumes, and volumes
 * that are missing, foreign, misnumbered or cut short.
 */
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

/* Members and where they lie in the four-volume set below. */
enum { IN_1, FROM_1_TO_2, IN_2, FROM_2_TO_4, IN_4, MEMBER_COUNT };

std::vector<uint8_t> content_of(int member)
{
    return member == FROM_2_TO_4 ? random_bytes(3000, 9)
                                 : sample_text(2000, static_cast<uint64_t>(10 + member));
}

/*
 * Volume 3 holds nothing but the middle of FROM_2_TO_4, and volume 2's
 * directory is an interim copy.
 */
test_set four_volume_set()
{
    test_set set;
    set.folders = {{"Group1", {}, {}}, {"Group2", {}, {}}};
    const char *names[] = {"ONE.TXT", "SPLIT.TXT", "TWO.TXT", "WIDE.BIN", "FOUR.TXT"};
    for (int i = 0; i < MEMBER_COUNT; ++i) {
        set.members.push_back(packed_member(names[i], content_of(i)));
        set.members.back().folder = i < IN_2 ? 0 : 1;
    }
    const size_t first = set.members[IN_1].data.size() + set.members[FROM_1_TO_2].data.size() / 2;
    const size_t second = set.members[FROM_1_TO_2].data.size() -
                          (first - set.members[IN_1].data.size()) + set.members[IN_2].data.size() +
                          100;
    set.volume_data_sizes = {first, second, 500, 0};
    set.interim_directory_volume = 2;
    return set;
}

class DiskSet : public ScratchDirTest {
  protected:
    void TearDown() override
    {
        arc_close_installer(&installer);
        ScratchDirTest::TearDown();
    }

    /* Writes the volumes as <dir>/<names[i]>; an empty name leaves that volume out. */
    void write_volumes(const std::vector<test_archive> &volumes, std::vector<std::string> names)
    {
        for (size_t i = 0; i < volumes.size(); ++i) {
            if (!names[i].empty()) {
                ASSERT_TRUE(write_file(path(names[i]), build_archive(volumes[i])));
            }
        }
    }

    arc_status open(const std::string &name)
    {
        arc_close_installer(&installer);
        return arc_open_installer(path(name).c_str(), &installer);
    }

    const arc_member &member(uint32_t i) const
    {
        return installer.archive.members[i];
    }

    /* Each member's outcome: ARC_OK with its very bytes, or the status it fails with. */
    void expect_outcomes(const std::vector<arc_status> &expected)
    {
        ASSERT_EQ(installer.archive.member_count, expected.size());
        for (uint32_t i = 0; i < expected.size(); ++i) {
            const member_bytes out = read_and_decode(installer, member(i));
            EXPECT_EQ(out.status, expected[i]) << member(i).name;
            if (expected[i] == ARC_OK) {
                EXPECT_EQ(out.bytes, content_of(static_cast<int>(i))) << member(i).name;
            }
        }
    }

    arc_installer installer = {};
};

const std::vector<std::string> SET_NAMES = {"_SETUP.1", "_setup.2", "_Setup.3", "_SETUP.4"};

TEST_F(DiskSet, EveryMemberComesWholeWhicheverVolumeIsGiven)
{
    write_volumes(set_volumes(four_volume_set()), SET_NAMES);
    for (const std::string &given : SET_NAMES) {
        SCOPED_TRACE(given);
        ASSERT_EQ(open(given), ARC_OK);
        EXPECT_TRUE(installer.disk_set);
        EXPECT_EQ(installer.directory_volume, 0u);
        ASSERT_EQ(installer.volume_count, 4u);
        EXPECT_EQ(installer.volumes[1].path, path("_setup.2"));
        EXPECT_EQ(installer.folder_count, 2u);
        expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_OK, ARC_OK});
    }

    /* The member over three volumes takes the whole of volume 3's data. */
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    ASSERT_EQ(arc_member_pieces(&installer, &member(FROM_2_TO_4), pieces, &piece_count), ARC_OK);
    ASSERT_EQ(piece_count, 3u);
    EXPECT_EQ(pieces[1].volume, 2u);
    EXPECT_EQ(pieces[1].offset, 255u);
    EXPECT_EQ(pieces[1].length, 500u);
    EXPECT_EQ(member(FROM_2_TO_4).flags & ARC_FLAG_CONTINUES, ARC_FLAG_CONTINUES);
}

TEST_F(DiskSet, TwoVolumeSetJoinsItsStraddlingMember)
{
    test_set set;
    set.members = {packed_member("A.TXT", sample_text(3000, 1)),
                   packed_member("B.TXT", sample_text(3000, 2))};
    set.volume_data_sizes = {set.members[0].data.size() + 10, 0};
    write_volumes(set_volumes(set), {"DISK.1", "DISK.2"});
    ASSERT_EQ(open("DISK.2"), ARC_OK);
    ASSERT_EQ(installer.archive.member_count, 2u);
    EXPECT_EQ(member(1).start_volume, 1);
    EXPECT_EQ(member(1).end_volume, 2);
    EXPECT_EQ(read_and_decode(installer, member(1)).bytes, sample_text(3000, 2));
}

TEST_F(DiskSet, AStoredMemberStraddlesAVolumeBoundaryWhole)
{
    test_set set;
    set.members = {packed_member("A.TXT", sample_text(3000, 1)),
                   raw_member("B.DLL", random_bytes(5000, 2), 5000)};
    set.members[1].flags = ARC_FLAG_STORED;
    set.volume_data_sizes = {set.members[0].data.size() + 2000, 0};
    write_volumes(set_volumes(set), {"DISK.1", "DISK.2"});
    ASSERT_EQ(open("DISK.1"), ARC_OK);
    EXPECT_EQ(member(1).flags, ARC_FLAG_STORED | ARC_FLAG_CONTINUES);
    EXPECT_EQ(read_and_decode(installer, member(1)).bytes, random_bytes(5000, 2));
}

TEST_F(DiskSet, MissingLastVolumeFailsOnlyTheMembersInIt)
{
    write_volumes(set_volumes(four_volume_set()), {"_SETUP.1", "_SETUP.2", "_SETUP.3", ""});
    ASSERT_EQ(open("_SETUP.2"), ARC_OK);
    ASSERT_EQ(installer.volume_count, 4u);
    EXPECT_EQ(installer.volumes[3].status, ARC_ERR_OPEN);
    for (uint32_t i : {FROM_2_TO_4, IN_4}) {
        const arc_volume *missing = arc_member_missing_volume(&installer, &member(i));
        ASSERT_NE(missing, nullptr);
        EXPECT_EQ(missing->number, 4u);
        EXPECT_EQ(std::string(missing->path), path("_SETUP.4"));
    }
    EXPECT_EQ(arc_member_missing_volume(&installer, &member(IN_2)), nullptr);
    expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_ERR_OPEN, ARC_ERR_OPEN});
}

TEST_F(DiskSet, ForeignOrMisnumberedVolumeCountsAsMissing)
{
    test_set other = four_volume_set();
    other.dos_time = 0x1234; /* the same set built at another time */
    std::vector<test_archive> misnumbered = set_volumes(four_volume_set());
    misnumbered[2].volume_number = 2;
    std::vector<test_archive> unflagged = set_volumes(four_volume_set());
    unflagged[2].set_flag = 0;
    const test_archive third_volumes[] = {set_volumes(other)[2], misnumbered[2], unflagged[2]};

    for (const test_archive &third : third_volumes) {
        std::vector<test_archive> volumes = set_volumes(four_volume_set());
        volumes[2] = third;
        write_volumes(volumes, SET_NAMES);
        ASSERT_EQ(open("_SETUP.1"), ARC_OK);
        EXPECT_EQ(installer.volumes[2].status, ARC_ERR_NOT_ARCHIVE);
        const arc_volume *missing = arc_member_missing_volume(&installer, &member(FROM_2_TO_4));
        ASSERT_NE(missing, nullptr);
        EXPECT_EQ(missing->number, 3u);
        expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_ERR_OPEN, ARC_OK});
    }
}

TEST_F(DiskSet, TruncatedVolumeFailsTheMembersPastItsEnd)
{
    std::vector<test_archive> volumes = set_volumes(four_volume_set());
    const size_t into_two = *volumes[0].members[IN_2].offset + 10;
    volumes[1].truncate_to = into_two;
    write_volumes(volumes, SET_NAMES);
    ASSERT_EQ(open("_SETUP.1"), ARC_OK);
    EXPECT_EQ(installer.volumes[1].status, ARC_OK);
    expect_outcomes({ARC_OK, ARC_OK, ARC_ERR_OUTSIDE, ARC_ERR_OUTSIDE, ARC_OK});
}

TEST_F(DiskSet, WithoutTheFirstVolumeTheLastOnesDirectoryServes)
{
    write_volumes(set_volumes(four_volume_set()), {"", "_SETUP.2", "_SETUP.3", "_SETUP.4"});
    ASSERT_EQ(open("_SETUP.2"), ARC_OK);
    EXPECT_EQ(installer.directory_volume, 3u);
    ASSERT_EQ(installer.volume_count, 4u);
    EXPECT_EQ(installer.folder_count, 2u);
    EXPECT_EQ(installer.volumes[0].status, ARC_ERR_OPEN);
    EXPECT_EQ(std::string(installer.volumes[0].path), path("_SETUP.1"));
    expect_outcomes({ARC_ERR_OPEN, ARC_ERR_OPEN, ARC_OK, ARC_OK, ARC_OK});

    /* With only middle volumes there is no directory to trust. Windows removes no open file. */
    arc_close_installer(&installer);
    ASSERT_EQ(std::remove(path("_SETUP.4").c_str()), 0);
    EXPECT_EQ(open("_SETUP.2"), ARC_ERR_OPEN);
    EXPECT_EQ(installer.archive.member_count, 0u);
    EXPECT_EQ(installer.volumes[0].status, ARC_ERR_OPEN);
}

/* Volumes one per disk folder, as copies of floppies are kept, in each naming style. */
TEST_F(DiskSet, VolumesInDiskFoldersAreFoundFromAnyOfThem)
{
    const struct {
        const char *disks[4];
    } STYLES[] = {
        {{"DISK1", "DISK2", "DISK3", "DISK4"}},
        {{"disk01", "disk02", "disk03", "disk04"}},
        {{"Disk 1", "Disk 2", "Disk 3", "Disk 4"}},
        {{"CD1", "cd2", "Cd3", "CD04"}},
    };
    const std::vector<test_archive> volumes = set_volumes(four_volume_set());
    for (const auto &style : STYLES) {
        SCOPED_TRACE(style.disks[0]);
        arc_close_installer(&installer); /* Windows removes no open file */
        std::filesystem::remove_all(path("media"));
        for (size_t i = 0; i < 4; ++i) {
            std::filesystem::create_directories(path("media/") + style.disks[i]);
            ASSERT_TRUE(write_file(path("media/") + style.disks[i] + "/" + SET_NAMES[i],
                                   build_archive(volumes[i])));
        }
        for (size_t given = 0; given < 4; given += 3) {
            ASSERT_EQ(open(std::string("media/") + style.disks[given] + "/" + SET_NAMES[given]),
                      ARC_OK);
            expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_OK, ARC_OK});
        }
    }
}

/* A disk folder with no numbered folders beside it: the set lies whole inside it. */
TEST_F(DiskSet, ALoneDiskFolderHoldsTheWholeSet)
{
    const std::vector<test_archive> volumes = set_volumes(four_volume_set());
    std::filesystem::create_directories(path("lone/DISK1"));
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(write_file(path("lone/DISK1/") + SET_NAMES[i], build_archive(volumes[i])));
    ASSERT_EQ(open("lone/DISK1/_SETUP.1"), ARC_OK);
    expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_OK, ARC_OK});
}

TEST_F(DiskSet, AVolumeBesideTheGivenOneWinsAndANamedOneWinsOverBoth)
{
    std::vector<test_archive> volumes = set_volumes(four_volume_set());
    std::filesystem::create_directories(path("d/DISK1"));
    std::filesystem::create_directories(path("d/DISK2"));
    std::filesystem::create_directories(path("elsewhere"));
    ASSERT_TRUE(write_file(path("d/DISK1/_SETUP.1"), build_archive(volumes[0])));
    ASSERT_TRUE(write_file(path("d/DISK1/_SETUP.2"), build_archive(volumes[1])));
    ASSERT_TRUE(write_file(path("d/DISK2/_SETUP.2"), bytes_of("not this one")));
    ASSERT_TRUE(write_file(path("d/DISK2/_SETUP.3"), build_archive(volumes[2])));
    ASSERT_TRUE(write_file(path("elsewhere/FOUR"), build_archive(volumes[3])));
    ASSERT_TRUE(write_file(path("elsewhere/ALSO.3"), build_archive(volumes[2])));
    ASSERT_EQ(open("d/DISK1/_SETUP.1"), ARC_OK);
    EXPECT_EQ(std::string(installer.volumes[1].path), path("d/DISK1/_SETUP.2"));
    EXPECT_EQ(std::string(installer.volumes[2].path), path("d/DISK2/_SETUP.3"));
    EXPECT_EQ(installer.volumes[3].status, ARC_ERR_OPEN);

    arc_close_installer(&installer);
    const std::string named[] = {path("elsewhere/FOUR"), path("elsewhere/ALSO.3")};
    const char *named_paths[] = {named[0].c_str(), named[1].c_str()};
    ASSERT_EQ(arc_open_installer_with(path("d/DISK1/_SETUP.1").c_str(), named_paths, 2, &installer),
              ARC_OK);
    EXPECT_EQ(std::string(installer.volumes[2].path), named[1]);
    EXPECT_EQ(std::string(installer.volumes[3].path), named[0]);
    expect_outcomes({ARC_OK, ARC_OK, ARC_OK, ARC_OK, ARC_OK});

    uint32_t number = 9;
    EXPECT_EQ(arc_identify_volume(path("d/DISK1/_SETUP.1").c_str(), named[0].c_str(), &number),
              ARC_OK);
    EXPECT_EQ(number, 4u);
    EXPECT_EQ(arc_identify_volume(path("d/DISK1/_SETUP.1").c_str(),
                                  path("d/DISK2/_SETUP.2").c_str(), &number),
              ARC_ERR_NOT_ARCHIVE);
    EXPECT_EQ(
        arc_identify_volume(path("d/DISK1/_SETUP.1").c_str(), path("nothing").c_str(), &number),
        ARC_ERR_OPEN);
    EXPECT_EQ(number, 0u);
}

} // namespace
