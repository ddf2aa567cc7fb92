/*
 * The archive header, the member directory walk and lookup by name.
 */
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

class ArchiveTest : public ScratchDirTest {
  protected:
    void TearDown() override
    {
        arc_close(&archive);
        ScratchDirTest::TearDown();
    }

    arc_status open_bytes(const std::vector<uint8_t> &bytes)
    {
        const std::string file = path("test.z");
        EXPECT_TRUE(write_file(file, bytes));
        arc_close(&archive);
        return arc_open(file.c_str(), &archive);
    }

    arc_status open_archive(const test_archive &layout)
    {
        return open_bytes(build_archive(layout));
    }

    arc_archive archive = {};
};

test_member member_named(const std::string &name)
{
    return raw_member(name, bytes_of("data"), 4);
}

test_archive archive_of(std::vector<test_member> members)
{
    test_archive layout;
    layout.members = std::move(members);
    return layout;
}

test_archive one_member_archive()
{
    return archive_of({member_named("FILE.TXT")});
}

TEST(ReadU32le, AssemblesBytesAtAnyAlignment)
{
    const uint8_t bytes[] = {0xFF, 0x13, 0x5D, 0x65, 0x8C, 0x01};
    EXPECT_EQ(arc_read_u32le(bytes + 1), 0x8C655D13u);
    EXPECT_EQ(arc_read_u32le(bytes + 2), 0x018C655Du);
}

TEST_F(ArchiveTest, OpensAWellFormedArchive)
{
    test_archive layout = archive_of({member_named("A.TXT"), member_named("B.BIN")});
    layout.members[1].unpacked_size = 4294967295u;
    ASSERT_EQ(open_archive(layout), ARC_OK);
    ASSERT_EQ(archive.member_count, 2u);
    EXPECT_STREQ(archive.members[0].name, "A.TXT");
    EXPECT_EQ(archive.members[0].offset, 255u);
    EXPECT_EQ(archive.members[0].packed_size, 4u);
    EXPECT_EQ(archive.members[1].offset, 259u);
    EXPECT_EQ(archive.members[1].unpacked_size, 4294967295u);
    EXPECT_EQ(archive.file_size, static_cast<int64_t>(build_archive(layout).size()));
}

TEST_F(ArchiveTest, NameFieldIsZeroFilledAfterTheName)
{
    ASSERT_EQ(open_archive(one_member_archive()), ARC_OK);
    for (size_t i = std::strlen("FILE.TXT"); i < sizeof(archive.members[0].name); ++i)
        ASSERT_EQ(archive.members[0].name[i], '\0') << i;
}

struct header_case {
    const char *what;
    std::vector<uint8_t> bytes;
    arc_status expected;
};

std::vector<uint8_t> with_u32(std::vector<uint8_t> bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

TEST_F(ArchiveTest, RejectsEveryImplausibleHeader)
{
    const std::vector<uint8_t> good = build_archive(one_member_archive());
    const uint32_t directory_offset = static_cast<uint32_t>(good.size() - (41 + 8 + 2));
    test_archive count_0 = one_member_archive();
    count_0.member_count = 0;
    test_archive count_4097 = one_member_archive();
    count_4097.member_count = 4097;
    test_archive size_0 = one_member_archive();
    size_0.directory_size = 0;
    test_archive size_over = one_member_archive();
    size_over.directory_size = 1048577;
    size_over.trailing.resize(1048576);
    test_archive offset_40 = one_member_archive();
    offset_40.directory_offset = 40;
    test_archive past_end = one_member_archive();
    past_end.directory_size = static_cast<uint32_t>(good.size() - directory_offset + 1);
    test_archive wrapping = one_member_archive();
    wrapping.directory_offset = 0xFFFFFFF0u;
    wrapping.directory_size = 0x20;

    const std::vector<uint8_t> signature_only = with_u32(std::vector<uint8_t>(255), 0, 0x8C655D13u);
    const header_case cases[] = {
        {"empty file", {}, ARC_ERR_NOT_ARCHIVE},
        {"254 bytes with a signature", with_u32(std::vector<uint8_t>(254), 0, 0x8C655D13u),
         ARC_ERR_NOT_ARCHIVE},
        {"wrong signature", with_u32(good, 0, 0x8C655D12u), ARC_ERR_NOT_ARCHIVE},
        {"signature only, count 0", signature_only, ARC_ERR_DIRECTORY},
        {"member count 0", build_archive(count_0), ARC_ERR_DIRECTORY},
        {"member count 4097", build_archive(count_4097), ARC_ERR_DIRECTORY},
        {"directory size 0", build_archive(size_0), ARC_ERR_DIRECTORY},
        {"directory size 1 MiB + 1", build_archive(size_over), ARC_ERR_DIRECTORY},
        {"directory offset 40", build_archive(offset_40), ARC_ERR_DIRECTORY},
        {"directory one byte past the end", build_archive(past_end), ARC_ERR_DIRECTORY},
        {"offset + size past 2^32", build_archive(wrapping), ARC_ERR_DIRECTORY},
    };
    for (const header_case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(open_bytes(c.bytes), c.expected);
        EXPECT_EQ(archive.member_count, 0u);
    }
}

TEST_F(ArchiveTest, DirectoryEndingExactlyAtEndOfFileIsAccepted)
{
    test_archive layout = one_member_archive();
    ASSERT_EQ(open_archive(layout), ARC_OK);
    layout.trailing = {0};
    layout.directory_size = static_cast<uint32_t>(41 + 8 + 2 + 1); /* includes the trailing byte */
    EXPECT_EQ(open_archive(layout), ARC_OK);
}

TEST_F(ArchiveTest, AcceptsTheLargestMemberCountAndDirectory)
{
    test_archive layout;
    for (int i = 0; i < 4096; ++i)
        layout.members.push_back(raw_member("M" + std::to_string(i), {}, 0));
    const size_t records = build_archive(layout).size() - 255;
    layout.trailing.resize(1048576 - records);
    layout.directory_size = 1048576;
    ASSERT_EQ(open_archive(layout), ARC_OK);
    ASSERT_EQ(archive.member_count, 4096u);
    for (int i = 0; i < 4096; ++i) {
        const std::string name = "m" + std::to_string(i);
        const arc_member *found = arc_find_member(&archive, name.c_str());
        ASSERT_NE(found, nullptr) << name;
        EXPECT_EQ(found, &archive.members[i]);
    }
}

TEST_F(ArchiveTest, FirstRecordIsFoundAnywhereInTheScanWindow)
{
    /* Name-length byte at the directory offset itself: fixed fields lie before it. */
    test_archive at_offset = one_member_archive();
    const uint32_t records_start = static_cast<uint32_t>(255 + 4);
    at_offset.directory_offset = records_start + 41;
    at_offset.directory_size = 1 + 8 + 1;
    EXPECT_EQ(open_archive(at_offset), ARC_OK);

    /* 22 bytes of junk put the name-length byte 63 positions after the offset: the last one. */
    test_archive last = one_member_archive();
    last.junk_before_records.assign(22, 0xFF);
    EXPECT_EQ(open_archive(last), ARC_OK);
    EXPECT_STREQ(archive.members[0].name, "FILE.TXT");

    test_archive beyond = one_member_archive();
    beyond.junk_before_records.assign(23, 0xFF);
    EXPECT_EQ(open_archive(beyond), ARC_ERR_DIRECTORY);
}

TEST_F(ArchiveTest, FirstRecordCanLieInsideTheHeader)
{
    /* Directory offset 41: the buffer starts at file position 0 and the scan covers 41 to 104. */
    test_archive layout = one_member_archive();
    layout.directory_offset = 41;
    layout.directory_size = 255 + 4 - 41;
    std::vector<uint8_t> bytes = build_archive(layout);
    const size_t p =
        100; /* name-length byte; the header fields at 12 and 51..58 lie before p - 41 */
    bytes[p] = 1;
    bytes[p + 1] = 'H';
    bytes[p + 2] = 0;
    bytes = with_u32(bytes, p - 18, 255);   /* data offset */
    bytes = with_u32(bytes, p - 22, 4);     /* compressed size */
    bytes = with_u32(bytes, p - 6, 1 + 43); /* record length */
    ASSERT_EQ(open_bytes(bytes), ARC_OK);
    EXPECT_STREQ(archive.members[0].name, "H");
    EXPECT_EQ(archive.members[0].packed_size, 4u);
}

TEST_F(ArchiveTest, EarlierPlausiblePositionWinsTheScan)
{
    test_archive layout = archive_of({member_named("REAL.TXT")});
    std::vector<uint8_t> decoy;
    test_archive decoy_layout = archive_of({member_named("DECOY")});
    const std::vector<uint8_t> decoy_bytes = build_archive(decoy_layout);
    layout.junk_before_records.assign(decoy_bytes.end() - (41 + 5 + 2), decoy_bytes.end());
    layout.member_count = 2;
    ASSERT_EQ(open_archive(layout), ARC_OK);
    EXPECT_STREQ(archive.members[0].name, "DECOY");
    EXPECT_STREQ(archive.members[1].name, "REAL.TXT");
}

struct record_case {
    const char *what;
    test_member member;
    arc_status expected;
};

test_member with_name(const std::string &name)
{
    return member_named(name);
}

TEST_F(ArchiveTest, EveryCountedRecordMustPassTheRecordTest)
{
    test_member length_short = member_named("A.TXT");
    length_short.record_length = 5 + 42;
    test_member length_long = member_named("A.TXT");
    length_long.record_length = 5 + 44;
    test_member flagged = member_named("A.TXT");
    flagged.flags = 0x0040;
    test_member all_flags = member_named("A.TXT");
    all_flags.flags = 0xFFFF;
    test_member unterminated = member_named("A.TXT");
    unterminated.name_terminator = 'x';
    test_member zero_length = member_named("A.TXT");
    zero_length.name_length = 0;

    const record_case cases[] = {
        {"printable bounds", with_name(" ~ "), ARC_OK},
        {"255-byte name", with_name(std::string(255, 'N')), ARC_OK},
        {"byte 0x1F", with_name("A\x1F"), ARC_ERR_DIRECTORY},
        {"byte 0x7F", with_name("A\x7F"), ARC_ERR_DIRECTORY},
        {"byte 0x80", with_name("A\x80"), ARC_ERR_DIRECTORY},
        {"byte 0xFF", with_name("\xFF"), ARC_ERR_DIRECTORY},
        {"record length n + 42", length_short, ARC_ERR_DIRECTORY},
        {"record length n + 44", length_long, ARC_ERR_DIRECTORY},
        {"flags after the record length", flagged, ARC_OK},
        {"every flag bit set", all_flags, ARC_OK},
        {"name not followed by 0", unterminated, ARC_ERR_DIRECTORY},
        {"name length 0", zero_length, ARC_ERR_DIRECTORY},
    };
    for (const record_case &c : cases) {
        SCOPED_TRACE(c.what);
        /* As the second record: the first is found by the scan, the second must pass alone. */
        EXPECT_EQ(open_archive(archive_of({member_named("FIRST"), c.member})), c.expected);
        if (c.expected == ARC_OK) {
            EXPECT_EQ(std::string(archive.members[1].name), c.member.name);
        }
        EXPECT_EQ(archive.member_count, c.expected == ARC_OK ? 2u : 0u);
    }
}

TEST_F(ArchiveTest, FlaggedFirstRecordIsFound)
{
    test_archive layout = archive_of({member_named("A.TXT"), member_named("B.TXT")});
    layout.members[0].flags = 0x0040;
    layout.members[1].flags = 0x0040;
    ASSERT_EQ(open_archive(layout), ARC_OK);
    EXPECT_STREQ(archive.members[1].name, "B.TXT");
}

TEST_F(ArchiveTest, LastRecordMayEndExactlyAtTheDirectoryEnd)
{
    test_archive layout = archive_of({member_named("A.TXT"), member_named("B.TXT")});
    const uint32_t exact = 2 * (41 + 5 + 2);
    layout.directory_size = exact;
    EXPECT_EQ(open_archive(layout), ARC_OK);
    layout.directory_size = exact - 1;
    EXPECT_EQ(open_archive(layout), ARC_ERR_DIRECTORY);
}

TEST_F(ArchiveTest, OnlyCountedRecordsAreRead)
{
    test_archive more = archive_of({member_named("A.TXT"), member_named("B.TXT")});
    more.member_count = 1;
    ASSERT_EQ(open_archive(more), ARC_OK);
    EXPECT_EQ(archive.member_count, 1u);
    EXPECT_EQ(arc_find_member(&archive, "B.TXT"), nullptr);

    test_archive fewer = archive_of({member_named("A.TXT")});
    fewer.member_count = 2;
    EXPECT_EQ(open_archive(fewer), ARC_ERR_DIRECTORY);
}

TEST_F(ArchiveTest, DataExtentsAreCheckedIn64Bits)
{
    struct extent_case {
        const char *what;
        uint32_t offset;
        uint32_t packed_size;
        arc_status expected;
    };
    const uint32_t file_size = static_cast<uint32_t>(build_archive(one_member_archive()).size());
    const extent_case cases[] = {
        {"inside the header", 254, 0, ARC_ERR_OUTSIDE},
        {"right after the header, empty", 255, 0, ARC_OK},
        {"ending at the end of the file", 255, file_size - 255, ARC_OK},
        {"one byte beyond", 255, file_size - 254, ARC_ERR_OUTSIDE},
        {"sum wraps at 32 bits", 4294967295u, 2, ARC_ERR_OUTSIDE},
        {"size wraps at 32 bits", 256, 4294967295u, ARC_ERR_OUTSIDE},
    };
    for (const extent_case &c : cases) {
        SCOPED_TRACE(c.what);
        test_archive layout = one_member_archive();
        layout.members[0].offset = c.offset;
        layout.members[0].packed_size = c.packed_size;
        EXPECT_EQ(open_archive(layout), c.expected);
    }
}

TEST_F(ArchiveTest, FailedWalkCountsNothing)
{
    test_archive layout = archive_of({member_named("A.TXT"), member_named("B.TXT")});
    layout.members[1].offset = 100000;
    ASSERT_EQ(open_archive(layout), ARC_ERR_OUTSIDE);
    EXPECT_EQ(archive.member_count, 0u);
    ASSERT_NE(archive.members, nullptr);
    EXPECT_STREQ(archive.members[0].name, "A.TXT");
    EXPECT_EQ(arc_find_member(&archive, "A.TXT"), nullptr);
}

TEST_F(ArchiveTest, LookupFoldsOnlyAsciiLetters)
{
    ASSERT_EQ(open_archive(
                  archive_of({member_named("setup.exe"), member_named("a[1]"), member_named("x@y"),
                              member_named("Readme"), member_named("README")})),
              ARC_OK);
    EXPECT_EQ(arc_find_member(&archive, "SETUP.EXE"), &archive.members[0]);
    EXPECT_EQ(arc_find_member(&archive, "Setup.Exe"), &archive.members[0]);
    EXPECT_EQ(arc_find_member(&archive, "A[1]"), &archive.members[1]);
    EXPECT_EQ(arc_find_member(&archive, "a{1}"), nullptr);
    EXPECT_EQ(arc_find_member(&archive, "x`y"), nullptr);
    EXPECT_EQ(arc_find_member(&archive, "readme"), &archive.members[3]);
    EXPECT_EQ(arc_find_member(&archive, "setup"), nullptr);
    EXPECT_EQ(arc_find_member(&archive, "setup.exe2"), nullptr);
    EXPECT_EQ(arc_find_member(&archive, ""), nullptr);
}

TEST_F(ArchiveTest, CloseIsSafeAfterAnyOutcomeAndTwice)
{
    const std::string missing = path("missing.z");
    EXPECT_EQ(arc_open(missing.c_str(), &archive), ARC_ERR_OPEN);
    EXPECT_EQ(archive.file, nullptr);
    EXPECT_EQ(archive.members, nullptr);
    arc_close(&archive);
    arc_close(&archive);

    ASSERT_EQ(open_archive(one_member_archive()), ARC_OK);
    arc_close(&archive);
    arc_close(&archive);
    EXPECT_EQ(archive.file, nullptr);
    EXPECT_EQ(archive.members, nullptr);
    EXPECT_EQ(archive.member_count, 0u);
}

TEST(RecordPlausible, ReadsNothingOutsideTheBuffer)
{
    std::vector<uint8_t> buffer(41 + 1, 0);
    buffer[41] = 5; /* a name that would run past the end */
    EXPECT_FALSE(arc_record_plausible(buffer.data(), static_cast<uint32_t>(buffer.size()), 41));
    EXPECT_FALSE(arc_record_plausible(buffer.data(), static_cast<uint32_t>(buffer.size()), 40));
    EXPECT_FALSE(arc_record_plausible(buffer.data(), static_cast<uint32_t>(buffer.size()), 42));
}

/* Each failure of opening is one line naming the archive, with its exit code. */
class OpenFailureReport : public ScratchDirTest {
  protected:
    void expect_one_line(const std::string &archive_path, const char *text, int exit_code)
    {
        for (const bool list : {true, false}) {
            const run_result result = list ? run_varlix({"--list", archive_path})
                                           : run_varlix({archive_path, "m", path("out")});
            EXPECT_EQ(result.exit_code, exit_code);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, archive_path + ": " + text + "\n");
            EXPECT_FALSE(path_exists(path("out")));
        }
    }

    std::string write_archive(const test_archive &layout)
    {
        EXPECT_TRUE(write_file(path("a.z"), build_archive(layout)));
        return path("a.z");
    }
};

TEST_F(OpenFailureReport, MissingFileCannotBeOpened)
{
    expect_one_line(path("missing.z"), "the archive could not be opened", 2);
}

TEST_F(OpenFailureReport, UnseekableFileCannotBeRead)
{
    const std::string fifo = path("fifo.z");
    /* Holding the pipe open for both ends lets the tool's open return at once. */
    const int held = make_held_fifo(fifo);
    if (held < 0)
        GTEST_SKIP() << "FIFOs cannot be made here";
    expect_one_line(fifo, "the archive could not be read to the end of a member", 9);
    release_held_fifo(held);
}

TEST_F(OpenFailureReport, DirectoryCannotBeRead)
{
    /* Windows does not open a directory as a file. */
    if (varlix_is_windows_program())
        expect_one_line(dir, "the archive could not be opened", 2);
    else
        expect_one_line(dir, "the archive could not be read to the end of a member", 9);
}

TEST_F(OpenFailureReport, ShortOrUnsignedFileIsNotAnArchive)
{
    ASSERT_TRUE(write_file(path("short.z"), std::vector<uint8_t>(254, 0x13)));
    expect_one_line(path("short.z"), "this file is not an InstallShield 3 archive", 3);
    test_archive layout = one_member_archive();
    layout.signature = 0x12345678;
    expect_one_line(write_archive(layout), "this file is not an InstallShield 3 archive", 3);
}

TEST_F(OpenFailureReport, BadDirectoryIsReported)
{
    test_archive header_limit = one_member_archive();
    header_limit.directory_size = 0;
    expect_one_line(write_archive(header_limit), "the member directory does not parse", 4);
    test_archive bad_record = one_member_archive();
    bad_record.members[0].record_length = 7;
    expect_one_line(write_archive(bad_record), "the member directory does not parse", 4);
}

TEST_F(OpenFailureReport, DataOutsideTheArchiveIsReported)
{
    test_archive layout = one_member_archive();
    layout.members[0].offset = 254;
    expect_one_line(write_archive(layout), "a member claims data outside the archive", 4);
}

} // namespace
