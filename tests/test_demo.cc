/*
 * The bundled example archive and disk set are exactly what their generators
 * make, and every member of the archive extracts.
 */
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/test_support.h"

namespace {

std::string committed_demo()
{
    return std::string(std::getenv("VARLIX_SOURCE_DIR")) + "/examples/demo.z";
}

class DemoArchive : public ScratchDirTest {};

TEST_F(DemoArchive, IsReproducedByItsGenerator)
{
    const std::string fresh = path("demo.z");
    const std::string command = std::string(MAKE_DEMO_EXE) + " \"" + fresh + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file_bytes(fresh), read_file_bytes(committed_demo()))
        << "regenerate it with: build/tools/make_demo_archive examples/demo.z";
}

TEST_F(DemoArchive, SetIsReproducedByItsGenerator)
{
    const std::string command = std::string(MAKE_DEMO_SET_EXE) + " \"" + dir + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char *volume : {"DEMO.1", "DEMO.2"}) {
        const std::string committed =
            std::string(std::getenv("VARLIX_SOURCE_DIR")) + "/examples/demo-set/" + volume;
        EXPECT_EQ(read_file_bytes(path(volume)), read_file_bytes(committed))
            << "regenerate it with: build/tools/make_demo_set examples/demo-set";
    }
}

TEST_F(DemoArchive, EveryMemberExtracts)
{
    arc_archive archive = {};
    ASSERT_EQ(arc_open(committed_demo().c_str(), &archive), ARC_OK);
    EXPECT_EQ(archive.member_count, 4u);
    for (uint32_t i = 0; i < archive.member_count; ++i) {
        const std::string out = path(archive.members[i].name);
        EXPECT_EQ(arc_extract_member(&archive, &archive.members[i], out.c_str()), ARC_OK);
        EXPECT_EQ(read_file_bytes(out).size(), archive.members[i].unpacked_size);
    }
    arc_close(&archive);
}

} // namespace
