/*
 * Extraction of one member at library level: the order of its steps, what
 * each failure leaves on disk, and the guards around the output path.
 */
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "explode/explode.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

using kind = std::filesystem::file_type;

const std::vector<uint8_t> PLAIN = sample_text(10000, 3);

class Extraction : public ScratchDirTest {
  protected:
    void TearDown() override
    {
        arc_close(&archive);
        ScratchDirTest::TearDown();
    }

    /* Writes and opens an archive whose only member is @member. */
    const arc_member *open_with(const test_member &member)
    {
        test_archive layout;
        layout.members = {member};
        archive_path = path("a.z");
        EXPECT_TRUE(write_file(archive_path, build_archive(layout)));
        EXPECT_EQ(arc_open(archive_path.c_str(), &archive), ARC_OK);
        return archive.member_count == 1 ? &archive.members[0] : nullptr;
    }

    arc_status extract_to(const std::string &output, std::FILE *spared = nullptr)
    {
        if (spared == nullptr)
            return arc_extract_member(&archive, &archive.members[0], output.c_str());
        return arc_extract_member_sparing(&archive, &archive.members[0], output.c_str(), &spared,
                                          1);
    }

    arc_archive archive = {};
    std::string archive_path;
};

test_member good_member()
{
    return packed_member("TEXT.TXT", PLAIN);
}

test_member damaged_member()
{
    test_member member = good_member();
    member.data.resize(member.data.size() / 2);
    return member;
}

TEST_F(Extraction, WritesExactlyTheMembersBytes)
{
    ASSERT_NE(open_with(good_member()), nullptr);
    EXPECT_EQ(extract_to(path("out")), ARC_OK);
    EXPECT_EQ(read_file_bytes(path("out")), PLAIN);
}

TEST_F(Extraction, FailuresAfterOpeningTheOutputRemoveIt)
{
    struct failure_case {
        const char *what;
        test_member member;
        arc_status expected;
    };
    test_member empty = good_member();
    empty.data.clear();
    test_member one_more = good_member();
    one_more.unpacked_size += 1;
    test_member one_less = good_member();
    one_less.unpacked_size -= 1;
    test_member bad_header = good_member();
    bad_header.data[0] = 7;
    const failure_case cases[] = {
        {"compressed size 0", empty, ARC_ERR_DAMAGED},
        {"stream cut in half", damaged_member(), ARC_ERR_DAMAGED},
        {"bad literal mode", bad_header, ARC_ERR_DAMAGED},
        {"recorded size one more", one_more, ARC_ERR_SIZE},
        {"recorded size one less", one_less, ARC_ERR_SIZE},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(open_with(c.member), nullptr);
        ASSERT_TRUE(write_file(path("out"), bytes_of("old contents")));
        EXPECT_EQ(extract_to(path("out")), c.expected);
        EXPECT_FALSE(path_exists(path("out")));
        arc_close(&archive);
    }
}

TEST_F(Extraction, BytesAfterTheEndMarkerAreIgnored)
{
    test_member member = good_member();
    member.data.insert(member.data.end(), 100, 0xA5);
    ASSERT_NE(open_with(member), nullptr);
    EXPECT_EQ(extract_to(path("out")), ARC_OK);
    EXPECT_EQ(read_file_bytes(path("out")), PLAIN);
}

TEST_F(Extraction, ArchiveThatShrankAfterOpeningKeepsAnExistingOutput)
{
    /* Large enough that its data is not already in the stream's buffer. */
    ASSERT_NE(open_with(packed_member("BIG.BIN", random_bytes(100000, 1))), nullptr);
    ASSERT_TRUE(resize_file(archive_path, 300));
    ASSERT_TRUE(write_file(path("out"), bytes_of("old contents")));
    EXPECT_EQ(extract_to(path("out")), ARC_ERR_READ);
    EXPECT_EQ(file_or_missing(path("out")), "old contents");
}

TEST_F(Extraction, OutputThatCannotBeCreatedIsAWriteFailure)
{
    ASSERT_NE(open_with(good_member()), nullptr);
    EXPECT_EQ(extract_to(path("no-such-dir/out")), ARC_ERR_WRITE);
    EXPECT_FALSE(path_exists(path("no-such-dir")));
}

TEST_F(Extraction, StatusComparesSizesIn64Bits)
{
    EXPECT_EQ(arc_extraction_status(EXPLODE_OK, 5, 5), ARC_OK);
    EXPECT_EQ(arc_extraction_status(EXPLODE_OK, 5 + (uint64_t{1} << 32), 5), ARC_ERR_SIZE);
    EXPECT_EQ(arc_extraction_status(EXPLODE_OK, uint64_t{1} << 32, 0), ARC_ERR_SIZE);
    EXPECT_EQ(arc_extraction_status(EXPLODE_WRITE_FAILED, 5, 5), ARC_ERR_WRITE);
    for (const int damaged : {EXPLODE_BAD_LITERAL_MODE, EXPLODE_BAD_DICTIONARY, EXPLODE_TRUNCATED,
                              EXPLODE_BAD_DISTANCE})
        EXPECT_EQ(arc_extraction_status(damaged, 5, 5), ARC_ERR_DAMAGED);
}

/* What a buffered sink hands on: whole pieces, no byte past its room, and a failed flush. */
struct flushed {
    std::string bytes;
    int calls = 0;
    bool fail = false;
};

bool record_flush(void *context, const uint8_t *bytes, size_t length)
{
    flushed *out = static_cast<flushed *>(context);
    ++out->calls;
    out->bytes.append(reinterpret_cast<const char *>(bytes), length);
    return !out->fail;
}

TEST(BufferedSink, GathersBlocksKeepsNothingPastItsRoomAndTellsAFailedFlush)
{
    flushed out;
    uint8_t buffer[8192];
    arc_buffered_sink sink = {buffer, sizeof(buffer), 0, 10000, record_flush, &out};
    const std::vector<uint8_t> block(4096, 'b');
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(arc_buffered_sink_take(&sink, block.data(), 4096));
    EXPECT_EQ(out.calls, 1); /* two blocks filled the buffer; the third waits */
    EXPECT_TRUE(arc_buffered_sink_flush(&sink));
    EXPECT_EQ(out.bytes.size(), 10000u); /* the rest of the third block was taken and dropped */
    EXPECT_TRUE(arc_buffered_sink_take(&sink, block.data(), 4096));
    EXPECT_TRUE(arc_buffered_sink_flush(&sink));
    EXPECT_EQ(out.calls, 2);

    out.fail = true;
    sink.room = UINT64_MAX;
    EXPECT_TRUE(arc_buffered_sink_take(&sink, block.data(), 4096));
    EXPECT_TRUE(arc_buffered_sink_take(&sink, block.data(), 4096));
    EXPECT_FALSE(arc_buffered_sink_take(&sink, block.data(), 4096)); /* no room made */
    EXPECT_EQ(out.calls, 3);
    EXPECT_TRUE(arc_buffered_sink_take(&sink, block.data(), 4096));
    EXPECT_FALSE(arc_buffered_sink_flush(&sink));
}

TEST_F(Extraction, RefusesToOverwriteTheArchiveItself)
{
    ASSERT_NE(open_with(good_member()), nullptr);
    const std::vector<uint8_t> original = read_file_bytes(archive_path);
    std::vector<std::string> outputs = {archive_path, path("hard")};
    std::filesystem::create_hard_link(archive_path, path("hard"));
    if (make_symbolic_link(archive_path, path("soft")))
        outputs.push_back(path("soft"));
    for (const std::string &output : outputs) {
        SCOPED_TRACE(output);
        EXPECT_EQ(extract_to(output), ARC_ERR_WRITE);
        EXPECT_EQ(read_file_bytes(archive_path), original);
        EXPECT_TRUE(path_exists(output));
    }
}

TEST_F(Extraction, RefusesToOverwriteTheStreamToKeepIntact)
{
    ASSERT_NE(open_with(good_member()), nullptr);
    std::FILE *log = std::fopen(path("log").c_str(), "ab");
    ASSERT_NE(log, nullptr);
    std::fputs("earlier\n", log);
    std::fflush(log);
    EXPECT_EQ(extract_to(path("log"), log), ARC_ERR_WRITE);
    std::fclose(log);
    EXPECT_EQ(file_or_missing(path("log")), "earlier\n");
}

TEST_F(Extraction, FailureThroughASymbolicLinkRemovesTheFileWrittenAndKeepsTheLink)
{
    if (!make_symbolic_link("target", path("probe")))
        GTEST_SKIP() << "symbolic links cannot be made here";
    ASSERT_NE(open_with(damaged_member()), nullptr);
    const struct {
        const char *what;
        const char *target_contents; /* null: the link dangles */
    } cases[] = {
        {"a link to a new file", ""},
        {"a link to an existing file", "old contents"},
        {"a dangling link", nullptr},
    };
    const std::string target = path("target");
    const std::string link = path("link");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.target_contents != nullptr) {
            ASSERT_TRUE(write_file(target, bytes_of(c.target_contents)));
        }
        /* Relative, so that it must be resolved from the link's folder. */
        ASSERT_TRUE(make_symbolic_link("target", link));
        EXPECT_EQ(extract_to(link), ARC_ERR_DAMAGED);
        EXPECT_FALSE(path_exists(target));
        EXPECT_TRUE(is_kind(link, kind::symlink));
        std::remove(link.c_str());
    }
}

/* A pipe held open at both ends by the test, so the extraction's open does not block. */
class PipeOutput : public Extraction {
  protected:
    void SetUp() override
    {
        Extraction::SetUp();
        fifo = path("fifo");
        held = make_held_fifo(fifo);
        if (held < 0)
            GTEST_SKIP() << "FIFOs cannot be made here";
    }
    void TearDown() override
    {
        release_held_fifo(held);
        Extraction::TearDown();
    }
    std::string drain()
    {
        return drain_held_fifo(held);
    }
    std::string fifo;
    int held = -1;
};

TEST_F(PipeOutput, GoodMemberFlowsThroughAPipe)
{
    test_member small = packed_member("SMALL.TXT", bytes_of("through the pipe\n"));
    ASSERT_NE(open_with(small), nullptr);
    EXPECT_EQ(extract_to(fifo), ARC_OK);
    EXPECT_EQ(drain(), "through the pipe\n");
}

TEST_F(PipeOutput, PipeReceivesEveryByteEvenPastTheRecordedSize)
{
    test_member small = packed_member("SMALL.TXT", bytes_of("through the pipe\n"));
    small.unpacked_size = 5;
    ASSERT_NE(open_with(small), nullptr);
    EXPECT_EQ(extract_to(fifo), ARC_ERR_SIZE);
    EXPECT_EQ(drain(), "through the pipe\n");
}

TEST_F(PipeOutput, FailedExtractionLeavesThePipeAndALinkToItInPlace)
{
    ASSERT_NE(open_with(damaged_member()), nullptr);
    ASSERT_TRUE(make_symbolic_link(fifo, path("link")));
    for (const std::string &output : {fifo, path("link")}) {
        SCOPED_TRACE(output);
        EXPECT_EQ(extract_to(output), ARC_ERR_DAMAGED);
        EXPECT_TRUE(is_kind(fifo, kind::fifo));
        EXPECT_TRUE(is_kind(path("link"), kind::symlink));
    }
}

TEST_F(Extraction, FailedExtractionLeavesADeviceNodeInPlace)
{
    const std::string node = path("null");
    if (!make_device_node(node, 1, 3))
        GTEST_SKIP() << "cannot create a private null device here (no mknod, or not permitted)";
    ASSERT_NE(open_with(damaged_member()), nullptr);
    EXPECT_EQ(extract_to(node), ARC_ERR_DAMAGED);
    EXPECT_TRUE(is_kind(node, kind::character));

    arc_close(&archive);
    ASSERT_NE(open_with(good_member()), nullptr);
    EXPECT_EQ(extract_to(node), ARC_OK);
    EXPECT_TRUE(path_exists(node));
}

} // namespace
