#include <string>

#include <gtest/gtest.h>

#include "cli/status.h"

namespace {

struct status_row {
    int status;
    const char *text;
    int exit_code;
};

const status_row STATUS_ROWS[] = {
    {ARC_OK, "ok", 0},
    {ARC_ERR_OPEN, "the archive could not be opened", 2},
    {ARC_ERR_READ, "the archive could not be read to the end of a member", 9},
    {ARC_ERR_NOT_ARCHIVE, "this file is not an InstallShield 3 archive", 3},
    {ARC_ERR_DIRECTORY, "the member directory does not parse", 4},
    {ARC_ERR_NO_MEMBER, "the archive does not contain that member", 5},
    {ARC_ERR_OUTSIDE, "a member claims data outside the archive", 4},
    {ARC_ERR_NO_MEMORY, "out of memory", 9},
    {ARC_ERR_DAMAGED, "the compressed stream is damaged", 6},
    {ARC_ERR_WRITE, "the output file could not be written", 7},
    {ARC_ERR_SIZE, "the extracted size is not the size the archive records", 8},
    {-1, "unknown error", 9},
    {11, "unknown error", 9},
    {-2147483647 - 1, "unknown error", 9},
    {2147483647, "unknown error", 9},
};

TEST(StatusTable, EveryValueHasItsTextAndExitCode)
{
    for (const status_row &row : STATUS_ROWS) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(std::string(arc_status_text(row.status)), row.text);
        EXPECT_EQ(arc_status_exit_code(row.status), row.exit_code);
    }
}

TEST(StatusTable, NoStatusMapsToTheUsageExitCode)
{
    for (int status = -5; status < 20; ++status)
        EXPECT_NE(arc_status_exit_code(status), 1) << status;
}

} // namespace
