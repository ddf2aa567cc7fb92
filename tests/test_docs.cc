/*
 * The documents against the code. The man page's diagnostic texts and exit
 * codes are the status table's, and its examples show what the tool really
 * prints; the README's library example is the program the consumer tests
 * build. A changed message, exit code or example must change the text too.
 */
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "cli/status.h"
#include "tests/support/test_support.h"

namespace {

std::string source_dir()
{
    const char *dir = std::getenv("VARLIX_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

/* The page with the roff escapes the examples use undone: "\-" and line continuations. */
std::string man_page_text()
{
    std::string text = read_file_text(source_dir() + "/docs/varlix.1");
    for (size_t at; (at = text.find("\\\n")) != std::string::npos;)
        text.erase(at, 2);
    for (size_t at; (at = text.find("\\-")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

/* Every place in @text where @needle occurs. */
std::vector<size_t> occurrences(const std::string &text, const std::string &needle)
{
    std::vector<size_t> found;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        found.push_back(at);
    return found;
}

TEST(ManPage, DescribesEveryStatusTheToolPrintsWithItsExitCode)
{
    const std::string page = man_page_text();
    ASSERT_FALSE(page.empty());
    for (int status = ARC_ERR_OPEN; status <= ARC_ERR_SIZE; ++status) {
        /* The tool words a missing member in a line of its own. */
        if (status == ARC_ERR_NO_MEMBER)
            continue;
        const std::string text = arc_status_text(status);
        SCOPED_TRACE(text);
        const std::vector<size_t> entries = occurrences(page, ": " + text + "\"");
        ASSERT_FALSE(entries.empty());
        const std::string exit_note = "(exit " + std::to_string(arc_status_exit_code(status)) + ")";
        for (size_t entry : entries) {
            const size_t next_exit = page.find("(exit ", entry);
            ASSERT_NE(next_exit, std::string::npos);
            EXPECT_EQ(page.compare(next_exit, exit_note.size(), exit_note), 0)
                << page.substr(next_exit, exit_note.size());
        }
    }
}

TEST(ManPage, ListsEveryExitCodeOnce)
{
    const std::string page = man_page_text();
    const size_t section = page.find("\n.SH EXIT STATUS\n");
    ASSERT_NE(section, std::string::npos);
    const std::string exit_status =
        page.substr(section, page.find("\n.SH ", section + 1) - section);
    for (int code = 0; code <= 9; ++code)
        EXPECT_EQ(occurrences(exit_status, "\n.B " + std::to_string(code) + "\n").size(), 1u)
            << code;
}

class ManPageExamples : public ScratchDirTest {};

TEST_F(ManPageExamples, ShowWhatTheToolPrints)
{
    /* The examples run in a directory holding examples/demo.z, as in the source tree. */
    std::filesystem::create_directory(path("examples"));
    std::filesystem::copy_file(source_dir() + "/examples/demo.z", path("examples/demo.z"));
    const std::string page = man_page_text();

    const run_result listing = run_varlix({"--list", "examples/demo.z"}, dir);
    ASSERT_EQ(listing.exit_code, 0);
    EXPECT_NE(page.find("$ varlix --list examples/demo.z\n" + listing.out), std::string::npos)
        << listing.out;

    const run_result extraction = run_varlix({"examples/demo.z", "readme.txt", "README.TXT"}, dir);
    ASSERT_EQ(extraction.exit_code, 0);
    EXPECT_NE(page.find("$ varlix examples/demo.z readme.txt README.TXT\n" + extraction.err),
              std::string::npos)
        << extraction.err;
}

TEST(Readme, LibraryExampleIsTheConsumerProgram)
{
    const std::string readme = read_file_text(source_dir() + "/README.md");
    const std::string fence = "```cpp\n";
    const size_t start = readme.find(fence);
    ASSERT_NE(start, std::string::npos);
    const size_t end = readme.find("```", start + fence.size());
    ASSERT_NE(end, std::string::npos);
    const std::string example = readme.substr(start + fence.size(), end - start - fence.size());

    /* The program less its opening comment. */
    const std::string program = read_file_text(source_dir() + "/tests/consumer/extract_member.cc");
    const size_t comment_end = program.find("*/\n");
    ASSERT_NE(comment_end, std::string::npos);
    EXPECT_EQ(example, program.substr(comment_end + 3));
}

} // namespace
