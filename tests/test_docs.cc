/*
 * The documents against the code. The man pages' diagnostic texts and exit
 * codes are the status table's, and their examples show what the tools
 * really print; the README's library example is the program the consumer
 * tests build, and its varlix-unpack session is what varlix-unpack prints.
 * A changed message, exit code, option or example must change the text too.
 */
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "cli/status.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace {

std::string source_dir()
{
    const char *dir = std::getenv("VARLIX_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

/* A page with the roff escapes its examples use undone: "\-", "\(aq", "\('e" and line
 * continuations. */
std::string man_page_text(const std::string &program = "varlix")
{
    std::string text = read_file_text(source_dir() + "/docs/" + program + ".1");
    const struct {
        const char *escape, *text;
    } ESCAPES[] = {{"\\\n", ""}, {"\\-", "-"}, {"\\(aq", "'"}, {"\\('e", "\xC3\xA9"}};
    for (const auto &escape : ESCAPES) {
        const std::string from = escape.escape;
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), escape.text);
    }
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

class ManPage : public ::testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(EachProgram, ManPage, ::testing::Values("varlix", "varlix-unpack"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param[6] == '-' ? "unpack" : "varlix");
                         });

TEST_P(ManPage, DescribesEveryStatusTheToolPrintsWithItsExitCode)
{
    const std::string page = man_page_text(GetParam());
    ASSERT_FALSE(page.empty());
    for (int status = ARC_ERR_OPEN; status <= ARC_ERR_SIZE; ++status) {
        /* The tools word a missing member in a line of their own. */
        if (status == ARC_ERR_NO_MEMBER)
            continue;
        const std::string text = arc_status_text(status);
        SCOPED_TRACE(text);
        /* varlix-unpack adds the system's reason after a write failure. */
        std::vector<size_t> entries = occurrences(page, ": " + text + "\"");
        for (size_t at : occurrences(page, ": " + text + ": \""))
            entries.push_back(at);
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

TEST_P(ManPage, ListsEveryExitCodeOnce)
{
    const std::string page = man_page_text(GetParam());
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

/* The README's example in the fenced block of @language is the consumer program @file. */
void expect_readme_example(const std::string &language, const std::string &file)
{
    const std::string readme = read_file_text(source_dir() + "/README.md");
    const std::string fence = "```" + language + "\n";
    const size_t start = readme.find(fence);
    ASSERT_NE(start, std::string::npos);
    const size_t end = readme.find("```", start + fence.size());
    ASSERT_NE(end, std::string::npos);
    const std::string example = readme.substr(start + fence.size(), end - start - fence.size());

    /* The program less its opening comment. */
    const std::string program = read_file_text(source_dir() + "/tests/consumer/" + file);
    const size_t comment_end = program.find("*/\n");
    ASSERT_NE(comment_end, std::string::npos);
    EXPECT_EQ(example, program.substr(comment_end + 3));
}

TEST(Readme, LibraryExamplesAreTheConsumerPrograms)
{
    expect_readme_example("cpp", "extract_member.cc");
    expect_readme_example("c", "list_and_extract.c");
}

/*
 * The "$ command" lines of @session, each followed by the lines it prints, as
 * the commands really print them when run one after another by sh in a
 * folder holding the example archives, with varlix-unpack found on the PATH.
 * The time a summary line ends with, which varies, is "T" on both sides.
 */
struct replayed_session {
    std::string expected;
    std::string actual;
};

std::string with_times_hidden(const std::string &text)
{
    static const std::regex TIME(", [0-9]+\\.[0-9]+ s\n");
    return std::regex_replace(text, TIME, ", T s\n");
}

class Session : public ScratchDirTest {
  protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        std::filesystem::copy(source_dir() + "/examples", path("examples"),
                              std::filesystem::copy_options::recursive);
        std::filesystem::create_directory(path("bin"));
        const char *wrapper = std::getenv("VARLIX_TEST_WRAPPER");
        ASSERT_TRUE(write_file(path("bin/varlix-unpack"),
                               bytes_of("#!/bin/sh\nexec " + std::string(wrapper ? wrapper : "") +
                                        " '" + unpack_executable() + "' \"$@\"\n")));
        std::filesystem::permissions(path("bin/varlix-unpack"), std::filesystem::perms::owner_all);
    }

    /* Replays the lines of @session, a text whose commands start with "$ ". */
    replayed_session replay(const std::string &session)
    {
        replayed_session out;
        size_t start = session.find("$ ");
        while (start != std::string::npos) {
            const size_t command_end = session.find('\n', start);
            size_t next = session.find("\n$ ", command_end);
            next = next == std::string::npos ? session.size() : next + 1;
            const std::string command = session.substr(start + 2, command_end - start - 2);
            out.expected += session.substr(start, next - start);
            out.actual += "$ " + command + "\n" + run_shell(command);
            start = next < session.size() ? next : std::string::npos;
        }
        out.expected = with_times_hidden(out.expected);
        out.actual = with_times_hidden(out.actual);
        return out;
    }

    std::string run_shell(const std::string &command)
    {
        EXPECT_TRUE(write_file(path("command.sh"), bytes_of(command + "\n")));
        const std::string line =
            "cd '" + dir + "' && PATH='" + path("bin") + "':\"$PATH\" sh command.sh 2>&1";
        std::string output;
        if (std::FILE *pipe = popen(line.c_str(), "r")) {
            char buffer[4096];
            for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
                output.append(buffer, got);
            pclose(pipe);
        }
        return output;
    }
};

TEST_F(Session, ReadmeSessionOfVarlixUnpackIsWhatItPrints)
{
    const std::string readme = read_file_text(source_dir() + "/README.md");
    const size_t start = readme.find("```console\n$ varlix-unpack");
    ASSERT_NE(start, std::string::npos);
    const size_t end = readme.find("```\n", start + 10);
    ASSERT_NE(end, std::string::npos);
    const replayed_session session = replay(readme.substr(start + 11, end - start - 11));
    EXPECT_EQ(session.actual, session.expected);
}

TEST_F(Session, VarlixUnpackManPageExamplesAreWhatItPrints)
{
    const std::string page = man_page_text("varlix-unpack");
    std::string examples;
    for (size_t at = page.find("\n.EX\n"); at != std::string::npos;
         at = page.find("\n.EX\n", at + 1)) {
        const size_t end = page.find("\n.EE\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string block = page.substr(at + 5, end - at - 4);
        if (block.compare(0, 2, "$ ") == 0)
            examples += block;
    }
    ASSERT_NE(examples.find("$ varlix-unpack"), std::string::npos);
    const replayed_session session = replay(examples);
    EXPECT_EQ(session.actual, session.expected);
}

TEST(ManPageOptions, VarlixUnpackPageNamesEveryOptionOfItsHelp)
{
    const std::string page = man_page_text("varlix-unpack");
    const run_result help = run_unpack({"--help"});
    ASSERT_EQ(help.exit_code, 0);
    static const std::regex OPTION("--[a-z]+");
    int options = 0;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), OPTION), end; it != end;
         ++it, ++options)
        EXPECT_NE(page.find(it->str()), std::string::npos) << it->str();
    EXPECT_GE(options, 12);
}

} // namespace
