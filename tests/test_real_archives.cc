/*
 * Real installers made by the original tools, read from ../shared/realdata/
 * beside the project. They are not part of it: each test skips when its files
 * are absent. What is checked here is what their README states.
 */
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"

namespace {

/* Opens one real archive before each test, or skips the test when it is absent. */
class RealArchive : public ::testing::Test {
  protected:
    explicit RealArchive(const char *name) : name(name) {}

    void SetUp() override
    {
        const std::string path = realdata_path(name);
        if (!path_exists(path))
            GTEST_SKIP() << path << " is absent; real archives are not part of the project";
        ASSERT_EQ(arc_open_installer(path.c_str(), &installer), ARC_OK) << path;
    }

    void TearDown() override
    {
        arc_close_installer(&installer);
    }

    const arc_member *member_called(const char *member_name)
    {
        return arc_find_member(&installer.archive, member_name);
    }

    const char *name;
    arc_installer installer = {};
};

class RealSet : public RealArchive {
  protected:
    RealSet() : RealArchive("set/_SETUP.1") {}
};

class RealSetupLib : public RealArchive {
  protected:
    RealSetupLib() : RealArchive("_SETUP.LIB") {}
};

TEST_F(RealSet, Holds202MembersIn16FoldersOverThreeVolumes)
{
    ASSERT_TRUE(installer.disk_set);
    ASSERT_EQ(installer.archive.member_count, 202u);
    ASSERT_EQ(installer.folder_count, 16u);
    ASSERT_EQ(installer.volume_count, 3u);
    uint32_t in_folders = 0;
    for (uint32_t f = 0; f < installer.folder_count; ++f) {
        EXPECT_EQ(std::string(installer.folders[f].name), "Group" + std::to_string(f + 1));
        in_folders += installer.folders[f].member_count;
    }
    EXPECT_EQ(in_folders, 202u);

    uint32_t only_in[4] = {};
    uint32_t straddling = 0;
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const arc_member &member = installer.archive.members[i];
        if (member.start_volume == member.end_volume)
            ++only_in[member.start_volume];
        else
            ++straddling;
    }
    EXPECT_EQ(only_in[1], 50u);
    EXPECT_EQ(only_in[2], 89u);
    EXPECT_EQ(only_in[3], 61u);
    EXPECT_EQ(straddling, 2u);
}

TEST_F(RealSet, EveryMemberExpandsToItsRecordedSize)
{
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const arc_member &member = installer.archive.members[i];
        const member_bytes out = read_and_decode(installer, member);
        EXPECT_EQ(out.status, ARC_OK) << member.name;
        EXPECT_EQ(out.bytes.size(), member.unpacked_size) << member.name;
    }
}

TEST_F(RealSet, StraddlingMembersComeWholeFromTwoVolumes)
{
    const arc_member *sonata = nullptr;
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const std::string name = installer.archive.members[i].name;
        if (name.size() >= 22 && name.compare(name.size() - 22, 22, "Moonlight Sonata 3.mid") == 0)
            sonata = &installer.archive.members[i];
    }
    const arc_member *runtime = member_called("Msvbvm50.dll");
    ASSERT_NE(sonata, nullptr);
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(sonata->start_volume, 1);
    EXPECT_EQ(sonata->end_volume, 2);
    EXPECT_EQ(runtime->start_volume, 2);
    EXPECT_EQ(runtime->end_volume, 3);
    EXPECT_EQ(runtime->flags & ARC_FLAG_CONTINUES, ARC_FLAG_CONTINUES);
    EXPECT_EQ(runtime->version_high, 5u << 16 | 1u);
    EXPECT_EQ(runtime->version_low, 43u << 16 | 19u);

    const member_bytes midi = read_and_decode(installer, *sonata);
    EXPECT_EQ(midi.status, ARC_OK);
    EXPECT_EQ(midi.bytes.size(), 53392u);
    const member_bytes dll = read_and_decode(installer, *runtime);
    ASSERT_EQ(dll.status, ARC_OK);
    ASSERT_EQ(dll.bytes.size(), 1347344u);
    EXPECT_EQ(std::string(dll.bytes.begin(), dll.bytes.begin() + 2), "MZ");
}

TEST_F(RealSet, AnyVolumeGivesTheSameMembers)
{
    for (const char *volume : {"set/_SETUP.2", "set/_SETUP.3"}) {
        SCOPED_TRACE(volume);
        arc_installer other = {};
        ASSERT_EQ(arc_open_installer(realdata_path(volume).c_str(), &other), ARC_OK);
        ASSERT_EQ(other.archive.member_count, installer.archive.member_count);
        ASSERT_EQ(other.folder_count, installer.folder_count);
        for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
            EXPECT_EQ(std::memcmp(&other.archive.members[i], &installer.archive.members[i],
                                  sizeof(arc_member)),
                      0)
                << installer.archive.members[i].name;
        }
        arc_close_installer(&other);
    }
}

TEST_F(RealSetupLib, HoldsSevenMembersInOneRootFolderDated1995To1999)
{
    EXPECT_FALSE(installer.disk_set);
    ASSERT_EQ(installer.archive.member_count, 7u);
    ASSERT_EQ(installer.folder_count, 1u);
    EXPECT_EQ(installer.folders[0].name_length, 0u);
    EXPECT_EQ(installer.folders[0].member_count, 7u);
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const arc_member &member = installer.archive.members[i];
        const unsigned year = 1980u + (member.dos_date >> 9);
        EXPECT_GE(year, 1995u) << member.name;
        EXPECT_LE(year, 1999u) << member.name;
        const member_bytes out = read_and_decode(installer, member);
        EXPECT_EQ(out.status, ARC_OK) << member.name;
        EXPECT_EQ(out.bytes.size(), member.unpacked_size) << member.name;
    }

    /* The plain reader sees the same members with the same details. */
    arc_archive plain;
    ASSERT_EQ(arc_open(realdata_path("_SETUP.LIB").c_str(), &plain), ARC_OK);
    ASSERT_EQ(plain.member_count, 7u);
    for (uint32_t i = 0; i < plain.member_count; ++i)
        EXPECT_EQ(std::memcmp(&plain.members[i], &installer.archive.members[i], sizeof(arc_member)),
                  0);
    arc_close(&plain);
}

} // namespace
