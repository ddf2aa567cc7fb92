/*
 * The setup engine container through the library: generated ones, good and
 * broken in each way its table can be, and the real one beside the project.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

test_container_member engine_member(const std::string &name, const std::string &stored_as,
                                    uint64_t seed)
{
    return {packed_member(name, sample_text(3000 + seed * 100, seed)), stored_as, {}, {}};
}

test_container three_members()
{
    test_container container;
    container.members = {engine_member("INSTALL.EXE", "_INS0432._MP", 1),
                         engine_member("LZWSERV.EXE", "_INZ0432._MP", 2),
                         engine_member("BOOT16.EXE", "_INJ0432._MP", 3)};
    return container;
}

class Container : public ScratchDirTest {
  protected:
    void TearDown() override
    {
        arc_close_installer(&installer);
        ScratchDirTest::TearDown();
    }

    arc_status open(const std::vector<uint8_t> &bytes)
    {
        arc_close_installer(&installer);
        EXPECT_TRUE(write_file(path("_INST32I.EX_"), bytes));
        return arc_open_installer(path("_INST32I.EX_").c_str(), &installer);
    }

    arc_installer installer = {};
};

TEST_F(Container, OpensAsOneFolderWhoseMembersDecodeAndKeepTheirSecondNames)
{
    ASSERT_EQ(open(build_container(three_members())), ARC_OK);
    ASSERT_EQ(installer.archive.member_count, 3u);
    EXPECT_EQ(installer.folder_count, 1u);
    EXPECT_FALSE(installer.disk_set);
    const char *stored[] = {"_INS0432._MP", "_INZ0432._MP", "_INJ0432._MP"};
    for (uint32_t i = 0; i < 3; ++i) {
        const arc_member &member = installer.archive.members[i];
        EXPECT_STREQ(arc_member_stored_as(&installer, &member), stored[i]);
        const member_bytes out = read_and_decode(installer, member);
        EXPECT_EQ(out.status, ARC_OK);
        EXPECT_EQ(out.bytes, sample_text(3000 + (i + 1) * 100, i + 1));
    }
    const arc_member copy = installer.archive.members[0];
    EXPECT_EQ(arc_member_stored_as(&installer, &copy), nullptr); /* not one of its members */
}

TEST_F(Container, ABrokenTableIsADirectoryThatDoesNotParse)
{
    test_container count_past = three_members();
    count_past.member_count = 4;
    test_container huge_count = three_members();
    huge_count.member_count = 0xFFFFFFFFu;
    test_container name_past = three_members();
    name_past.members[2].stored_as_length = 60000;
    test_container no_name = three_members();
    no_name.members[1].name_length = 0;
    test_container control = three_members();
    control.members[0].member.name = "IN\x01STALL.EXE";
    test_container cut = three_members();
    cut.truncate_to = 90;
    for (const test_container &broken :
         {count_past, huge_count, name_past, no_name, control, cut}) {
        EXPECT_EQ(open(build_container(broken)), ARC_ERR_DIRECTORY);
        EXPECT_EQ(installer.archive.member_count, 0u);
    }
    std::vector<uint8_t> wrong = build_container(three_members());
    wrong[3] = 0;
    EXPECT_EQ(open(wrong), ARC_ERR_NOT_ARCHIVE);
}

TEST_F(Container, AMemberOutsideTheFileFailsAlone)
{
    test_container container = three_members();
    container.members[1].member.packed_size = 0x7FFFFFFFu;
    container.members[2].member.offset = 30; /* in the table */
    ASSERT_EQ(open(build_container(container)), ARC_OK);
    EXPECT_EQ(read_and_decode(installer, installer.archive.members[0]).status, ARC_OK);
    EXPECT_EQ(read_and_decode(installer, installer.archive.members[1]).status, ARC_ERR_OUTSIDE);
    EXPECT_EQ(read_and_decode(installer, installer.archive.members[2]).status, ARC_ERR_OUTSIDE);
}

TEST(RealContainer, HoldsFourExecutablesThatDecodeToTheirSizes)
{
    const std::string file = realdata_path("_INST32I.EX_");
    if (!path_exists(file))
        GTEST_SKIP() << file << " is absent; real archives are not part of the project";
    arc_installer installer = {};
    ASSERT_EQ(arc_open_installer(file.c_str(), &installer), ARC_OK);
    ASSERT_EQ(installer.archive.member_count, 4u);
    const struct {
        const char *name, *stored_as;
        uint32_t size;
    } EXPECTED[] = {{"INSTALL.EXE", "_INS0432._MP", 667136},
                    {"LZWSERV.EXE", "_INZ0432._MP", 20656},
                    {"WUTL95i.DLL", "_WUTL95.DLL", 37376},
                    {"BOOT16.EXE", "_INJ0432._MP", 7168}};
    for (uint32_t i = 0; i < 4; ++i) {
        const arc_member &member = installer.archive.members[i];
        EXPECT_STREQ(member.name, EXPECTED[i].name);
        EXPECT_STREQ(arc_member_stored_as(&installer, &member), EXPECTED[i].stored_as);
        const member_bytes out = read_and_decode(installer, member);
        EXPECT_EQ(out.status, ARC_OK) << member.name;
        ASSERT_EQ(out.bytes.size(), EXPECTED[i].size);
        EXPECT_EQ(out.bytes[0], 'M');
        EXPECT_EQ(out.bytes[1], 'Z');
    }
    arc_close_installer(&installer);
}

} // namespace
