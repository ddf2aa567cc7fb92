/*
 * varlix-unpack on installers built in code: its options, hostile names,
 * existing files and collisions, file details, interruption, code pages, the
 * same output for any number of jobs, patterns, exit codes and listings.
 */
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "unpack/listing.h"
#include "unpack/names.h"
#include "unpack/progress.h"
#include "unpack/unpack_os.h"
#include "varlix_version.h"

namespace fs = std::filesystem;

namespace {

test_member member_in(uint16_t folder, const std::string &name, const std::string &text)
{
    test_member member = packed_member(name, bytes_of(text));
    member.folder = folder;
    return member;
}

/* A member whose stream starts with a match reaching before the first byte. */
test_member damaged_member(uint16_t folder, const std::string &name)
{
    test_member member = raw_member(name, {0x00, 0x04, 0x1F, 0x02, 0xFE, 0x01}, 3);
    member.folder = folder;
    return member;
}

test_archive foldered(const std::vector<std::string> &folders, std::vector<test_member> members)
{
    test_archive layout;
    layout.true_record_layout = true;
    for (const std::string &folder : folders)
        layout.folders.push_back({folder, {}, {}});
    layout.members = std::move(members);
    return layout;
}

/* @text with the time cut off its summary line, the one line that ends in " s". */
std::string without_time(const std::string &text)
{
    std::string out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        const size_t comma = line.rfind(", ");
        if (comma != std::string::npos && line.size() > 3 &&
            line.compare(line.size() - 3, 3, " s\n") == 0)
            line = line.substr(0, comma) + "\n";
        out += line;
        start = end;
    }
    return out;
}

/* The local date and time of the file at @file_path, as MS-DOS date and time fields. */
std::pair<uint16_t, uint16_t> local_dos_time(const std::string &file_path)
{
    struct stat info;
    if (stat(file_path.c_str(), &info) != 0)
        return {0, 0};
    std::tm local;
    localtime_r(&info.st_mtime, &local);
    return {
        static_cast<uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday),
        static_cast<uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2)};
}

/* The DOS date and time @date, @time as a local calendar time, its daylight saving to be found. */
std::tm dos_calendar_time(uint16_t date, uint16_t time)
{
    std::tm local = {};
    local.tm_year = 80 + (date >> 9);
    local.tm_mon = ((date >> 5) & 15) - 1;
    local.tm_mday = date & 31;
    local.tm_hour = time >> 11;
    local.tm_min = (time >> 5) & 63;
    local.tm_sec = (time & 31) * 2;
    local.tm_isdst = -1;
    return local;
}

/*
 * Whether the zone keeps daylight-saving time at the local @date and @time
 * otherwise than on the same day this year: there Windows, which applies
 * the rules it has to other years, may be an hour away from the zone's rules.
 */
bool daylight_saving_differs_this_year(uint16_t date, uint16_t time)
{
    std::tm then = dos_calendar_time(date, time), same_day = then, today;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &today);
    same_day.tm_year = today.tm_year;
    std::mktime(&then);
    std::mktime(&same_day);
    return then.tm_isdst != same_day.tm_isdst;
}

/* A number right-aligned in ten characters, as the listing's size columns are. */
std::string right_aligned(size_t number)
{
    const std::string digits = std::to_string(number);
    return std::string(10 - digits.size(), ' ') + digits;
}

class Unpack : public ScratchDirTest {
  protected:
    std::string write_archive(const std::string &name, const test_archive &layout)
    {
        EXPECT_TRUE(write_file(path(name), build_archive(layout)));
        return path(name);
    }

    run_result run(const std::vector<std::string> &args)
    {
        return run_unpack(args, dir);
    }

    /* Everything under @root: each entry's kind and, for files, mode, time and a hash of the bytes.
     */
    std::map<std::string, std::string> tree(const std::string &root)
    {
        std::map<std::string, std::string> entries;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(path(root))) {
            struct stat info;
            lstat(entry.path().c_str(), &info);
            std::string description = S_ISDIR(info.st_mode) ? "folder" : "file";
            if (S_ISLNK(info.st_mode))
                description = "link";
            if (S_ISREG(info.st_mode))
                description +=
                    " " + std::to_string(info.st_mode & 0777) + " " +
                    std::to_string(info.st_mtime) + " " +
                    std::to_string(std::hash<std::string>()(read_file_text(entry.path().string())));
            entries[fs::relative(entry.path(), path(root)).string()] = description;
        }
        return entries;
    }
};

TEST(UnpackNames, PatternsMatchWholePathsWithoutRegardToCase)
{
    const struct {
        const char *pattern, *text;
        bool matches;
    } CASES[] = {
        {"*.dll", "Group1/MSVBVM50.DLL", true},
        {"sound\\*.wav", "SOUND/BELL.WAV", true},
        {"sound/?ell.wav", "Sound/Bell.wav", true},
        {"*.txt", "notes.txt.bak", false},
        {"[a-c]*", "Bell", true},
        {"[!a-c]*", "Bell", false},
        {"[^x]", "y", true},
        {"caf?.txt", "caf\xC3\xA9.txt", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"[", "[", true},
        {"*", "", true},
        {"?", "", false},
        {"readme", "README.TXT", false},
    };
    for (const auto &c : CASES)
        EXPECT_EQ(unpack_pattern_matches(c.pattern, c.text), c.matches)
            << c.pattern << " on " << c.text;
}

TEST(UnpackNames, UnsafePathsAreRecognisedPartByPart)
{
    unpack_converter *converter = unpack_open_converter("CP1252");
    ASSERT_NE(converter, nullptr);
    const struct {
        const char *folder;
        const char *problem;
    } FOLDERS[] = {
        {"..\\..\\evil", "a '..' part"},
        {"\\abs", "an absolute path"},
        {"C:\\x", "a drive letter"},
        {"a\\\\b", "an empty part"},
        {".\\x", "a '.' part"},
        {"a/b", "a '/' in a name"},
        {"ok\\sub", ""},
        {"x\x81", "bytes that are not CP1252 text"},
    };
    for (const auto &c : FOLDERS) {
        const std::string folder = c.folder;
        const unpack_folder_name name =
            unpack_name_folder(converter, "CP1252", folder.data(), folder.size());
        EXPECT_EQ(name.problem, c.problem) << c.folder;
        EXPECT_EQ(name.parts.empty(), *c.problem != '\0') << c.folder;
    }
    EXPECT_EQ(unpack_name_member(converter, "CP1252", "..", false).problem, "a '..' part");
    EXPECT_EQ(unpack_name_member(converter, "CP1252", "C:x", true).problem, "a drive letter");
    EXPECT_EQ(unpack_name_member(converter, "CP1252", "C:x", false).problem, "");
    EXPECT_EQ(unpack_name_member(converter, "CP1252", "..\\x", false).problem,
              "a '\\' in a member's name");
    const std::string nul_folder("a\0b", 3);
    EXPECT_EQ(unpack_name_folder(converter, "CP1252", nul_folder.data(), 3).problem, "a NUL byte");
    EXPECT_EQ(unpack_name_folder(converter, "CP1252", nul_folder.data(), 3).display, "a\\x00b");
    EXPECT_EQ(unpack_name_member(converter, "CP1252", ".VARLIX-UNPACK-7-0.TMP", false).problem,
              "a name of the form varlix-unpack's temporary files take");
    unpack_close_converter(converter);
}

TEST(UnpackText, JsonStringsEscapeWhatJsonMustAndReplaceBadUtf8)
{
    const struct {
        std::string text, json;
    } CASES[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {std::string("\x01\x1f\n\0", 4), "\"\\u0001\\u001f\\u000a\\u0000\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {"\xE9t\xC3", "\"\\ufffdt\\ufffd\""}, /* a lone Latin-1 byte, a cut sequence */
        {"\xC0\x80\xED\xA0\x80",
         "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""}, /* overlong, surrogate */
    };
    for (const auto &c : CASES)
        EXPECT_EQ(unpack_json_string(c.text), c.json);
}

TEST(UnpackText, ProgressTellsMembersBytesRateAndTimeLeft)
{
    EXPECT_EQ(unpack_progress_text({0, 3, 0, 1048576}, 0), "0/3 members, 0.0/1.0 MiB");
    EXPECT_EQ(unpack_progress_text({1, 3, 1048576, 3 * 1048576}, 2),
              "1/3 members, 1.0/3.0 MiB, 0.5 MiB/s, 0:04 left");
    EXPECT_EQ(unpack_progress_text({2, 2, 90 * 1048576u, 90 * 1048576u}, 1),
              "2/2 members, 90.0/90.0 MiB, 90.0 MiB/s, 0:00 left");
    EXPECT_EQ(unpack_progress_text({1, 9, 1048576, 61 * 1048576u}, 1),
              "1/9 members, 1.0/61.0 MiB, 1.0 MiB/s, 1:00 left");
    EXPECT_EQ(unpack_count(1, "member") + " " + unpack_count(0, "folder"), "1 member 0 folders");
}

TEST(UnpackNames, ControlCharactersC0AndC1AreShownEscaped)
{
    unpack_converter *latin1 = unpack_open_converter("ISO-8859-1");
    if (latin1 == nullptr)
        GTEST_SKIP() << "this system's converter does not know ISO-8859-1";
    const std::string name = "a\x01\x7F\x80\x81\x9F\xA0z";
    EXPECT_EQ(unpack_name_member(latin1, "ISO-8859-1", name.c_str(), true).display,
              "a\\x01\\x7F\\x80\\x81\\x9F\xC2\xA0z");
    unpack_close_converter(latin1);
}

TEST_F(Unpack, OptionsTakeEveryGnuForm)
{
    const std::string archive =
        write_archive("data.z", foldered({""}, {member_in(0, "A.TXT", "a"),
                                                member_in(0, "--log", "a member, not an option")}));
    const std::vector<std::vector<std::string>> forms = {
        {"-dOUT1", archive},           {"-d", "OUT2", archive},
        {"--directory=OUT3", archive}, {"--directory", "OUT4", archive},
        {archive, "-qd", "OUT5"},
    };
    for (size_t i = 0; i < forms.size(); ++i) {
        const run_result result = run(forms[i]);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(file_or_missing(path("OUT" + std::to_string(i + 1) + "/A.TXT")), "a");
    }
    /* Clustered flags, quiet and overwrite; "--" makes "--log" a pattern. */
    const run_result again = run({"-qo", "-d", "OUT1", archive, "--", "--log"});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(again.err, "");
    const run_result pattern = run({"-q", "-d", "OUT6", archive, "--", "--log"});
    EXPECT_EQ(pattern.exit_code, 0) << pattern.err;
    EXPECT_EQ(file_or_missing(path("OUT6/--log")), "a member, not an option");
    EXPECT_FALSE(path_exists(path("OUT6/A.TXT")));

    const run_result version = run({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "varlix-unpack " VARLIX_VERSION "\n");
    const run_result help = run({"-h"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.compare(0, 7, "Usage: "), 0) << help.out;
}

TEST_F(Unpack, UsageErrorsAreOneLineAndAHint)
{
    const std::string archive = write_archive("data.z", foldered({""}, {member_in(0, "A", "a")}));
    const std::vector<std::vector<std::string>> mistakes = {
        {"--nope", archive},
        {"-x", archive},
        {archive, "-d"},
        {"--codepage", "NO-SUCH-CODE-PAGE", archive},
        {},
        {"-j", "0", archive},
        {"--list=yes", archive},
        {"--list", "--test", archive},
        {"--directory=", archive},
    };
    for (const std::vector<std::string> &args : mistakes) {
        const run_result result = run(args);
        EXPECT_EQ(result.exit_code, 1) << (args.empty() ? "" : args[0]);
        const size_t first_line = result.err.find('\n');
        ASSERT_NE(first_line, std::string::npos);
        EXPECT_EQ(result.err.compare(0, 15, "varlix-unpack: "), 0) << result.err;
        EXPECT_EQ(result.err.substr(first_line + 1),
                  "Try 'varlix-unpack --help' for more information.\n");
    }
    EXPECT_NE(run({"--codepage", "NO-SUCH-CODE-PAGE", archive})
                  .err.find("varlix-unpack: unknown code page 'NO-SUCH-CODE-PAGE'\n"),
              std::string::npos);
    EXPECT_FALSE(path_exists(path("data")));
}

TEST_F(Unpack, HostileNamesAreReportedAndNothingIsWrittenOutside)
{
    const std::string archive = write_archive(
        "data.z", foldered({"", "..\\..\\evil", "\\abs", "C:\\drive", "planted"},
                           {member_in(0, "..", "dots"), member_in(0, "C:x", "drive"),
                            member_in(0, "fine.txt", "fine"), member_in(1, "x.txt", "evil"),
                            member_in(2, "y.txt", "absolute"), member_in(3, "z.txt", "drive"),
                            member_in(4, "p.txt", "through the link")}));
    fs::create_directories(path("out"));
    fs::create_directories(path("outside"));
    fs::create_directory_symlink("../outside", path("out/planted"));

    const run_result result = run({"-d", "out", archive});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(without_time(result.err),
              "..: unsafe path (a '..' part), skipped\n"
              "C:x: unsafe path (a drive letter), skipped\n"
              "../../evil/x.txt: unsafe path (a '..' part), skipped\n"
              "/abs/y.txt: unsafe path (an absolute path), skipped\n"
              "C:/drive/z.txt: unsafe path (a drive letter), skipped\n"
              "planted/p.txt: its folder could not be made: a symbolic link is in the way\n"
              "extracted 1 member, 4 bytes, 0 new folders, 6 failures\n");
    EXPECT_EQ(file_or_missing(path("out/fine.txt")), "fine");
    EXPECT_TRUE(fs::is_empty(path("outside")));
    std::vector<std::string> top;
    for (const fs::directory_entry &entry : fs::directory_iterator(dir))
        top.push_back(entry.path().filename().string());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"data.z", "out", "outside"}));
    EXPECT_EQ(tree("out").size(), 2u); /* fine.txt, and the link as it was */
    EXPECT_TRUE(fs::is_symlink(path("out/planted")));
}

TEST_F(Unpack, AJunctionInTheOutputFolderIsNeverFollowed)
{
    if (!unpack_is_windows_program() || !varlix_runs_wrapped())
        GTEST_SKIP() << "junctions are made by a Windows program under wine; symbolic links are "
                        "checked by HostileNamesAreReportedAndNothingIsWrittenOutside";
    fs::create_directories(path("out"));
    fs::create_directories(path("outside"));
    /* Windows's own command makes it, under wine, which maps the root to Z:. */
    auto windows_path = [](std::string unix_path) {
        std::replace(unix_path.begin(), unix_path.end(), '/', '\\');
        return "Z:" + unix_path;
    };
    const run_result made =
        run_wrapped({"cmd", "/c", "mklink", "/J", windows_path(path("out/planted")),
                     windows_path(path("outside"))});
    if (!is_kind(path("out/planted"), fs::file_type::symlink)) {
        const std::string version = run_wrapped({"--version"}).out, said = made.out + made.err;
        GTEST_SKIP() << version.substr(0, version.find('\n'))
                     << " cannot make a junction (mklink /J: " << said.substr(0, said.find('\n'))
                     << ")";
    }
    const std::string archive = write_archive(
        "data.z", foldered({"", "planted"}, {member_in(0, "fine.txt", "fine"),
                                             member_in(1, "p.txt", "through the junction")}));
    const run_result result = run({"-q", "-d", "out", archive});
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(result.err,
              "planted/p.txt: its folder could not be made: a symbolic link is in the way\n");
    EXPECT_TRUE(fs::is_empty(path("outside")));
}

/* A missing file cannot be opened; a folder is swept, and an empty one holds no installer. */
TEST_F(Unpack, AMissingFileCannotBeOpenedAndAnEmptyFolderHoldsNoInstaller)
{
    fs::create_directories(path("folder.z"));
    for (const char *mode : {"-l", "-t", "-q"}) {
        const run_result missing = run({mode, "missing.z"});
        EXPECT_EQ(missing.exit_code, 2) << mode;
        EXPECT_EQ(without_time(missing.err), "missing.z: the archive could not be opened\n");
        const run_result folder = run({mode, "folder.z"});
        EXPECT_EQ(folder.exit_code, 3) << mode;
        EXPECT_EQ(folder.err, "folder.z: no installer found (0 files scanned)\n") << mode;
    }
    EXPECT_FALSE(path_exists(path("folder")));
    EXPECT_FALSE(path_exists(path("missing")));
    EXPECT_FALSE(path_exists(path("folder.z-unpacked")));
}

TEST_F(Unpack, ExistingFilesAreKeptUnlessOverwriteIsGiven)
{
    const std::string archive =
        write_archive("data.z", foldered({"A", "B"}, {member_in(0, "README.TXT", "folder A's"),
                                                      member_in(0, "NEW.TXT", "new"),
                                                      member_in(1, "README.TXT", "folder B's")}));
    fs::create_directories(path("out/A"));
    ASSERT_TRUE(write_file(path("out/A/NEW.TXT"), bytes_of("old")));

    const run_result kept = run({"-q", "-d", "out", archive});
    EXPECT_EQ(kept.exit_code, 7);
    EXPECT_EQ(kept.err, "A/NEW.TXT: exists already, kept (--overwrite replaces it)\n");
    EXPECT_EQ(file_or_missing(path("out/A/NEW.TXT")), "old");
    EXPECT_EQ(file_or_missing(path("out/A/README.TXT")), "folder A's");
    EXPECT_EQ(file_or_missing(path("out/B/README.TXT")), "folder B's");

    const run_result replaced = run({"-q", "-o", "-d", "out", archive});
    EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
    EXPECT_EQ(file_or_missing(path("out/A/NEW.TXT")), "new");
    EXPECT_EQ(tree("out").size(), 5u);
}

TEST_F(Unpack, CollidingPathsAreReportedNeverOverwritten)
{
    const std::string archive = write_archive(
        "data.z", foldered({"", "A", "B"}, {member_in(0, "a", "a file where a folder goes"),
                                            member_in(1, "README.TXT", "folder A's"),
                                            member_in(1, "readme.txt", "same name, other case"),
                                            member_in(2, "README.TXT", "folder B's")}));
    const run_result tree_run = run({"-q", "-d", "tree", archive});
    EXPECT_EQ(tree_run.exit_code, 7);
    EXPECT_EQ(tree_run.err, "a: same path as the folder of A/README.TXT, skipped\n"
                            "A/readme.txt: same path as A/README.TXT, skipped\n");
    EXPECT_EQ(file_or_missing(path("tree/B/README.TXT")), "folder B's");

    const run_result flat = run({"-q", "--flat", "-d", "flat", archive});
    EXPECT_EQ(flat.exit_code, 7);
    EXPECT_EQ(flat.err, "A/readme.txt: same path as A/README.TXT, skipped\n"
                        "B/README.TXT: same path as A/README.TXT, skipped\n");
    EXPECT_EQ(file_or_missing(path("flat/README.TXT")), "folder A's");
    EXPECT_EQ(file_or_missing(path("flat/a")), "a file where a folder goes");
    EXPECT_EQ(tree("flat").size(), 2u);
}

TEST_F(Unpack, DatesAndReadOnlyBecomeFileTimesAndModes)
{
    std::vector<test_member> members = {member_in(0, "RO.TXT", "read-only"),
                                        member_in(0, "RW.TXT", "writable"),
                                        member_in(0, "UNDATED.TXT", "no date")};
    members[0].dos_date = (1999 - 1980) << 9 | 8 << 5 | 3;
    members[0].dos_time = 9 << 11 | 56 << 5 | 14 / 2;
    members[0].attributes = 0x21;
    members[1].dos_date = members[0].dos_date;
    members[1].attributes = 0x20;
    const std::string archive = write_archive("data.z", foldered({""}, members));
    const std::time_t started = std::time(nullptr);
    ASSERT_EQ(run({"-q", "-d", "out", archive}).exit_code, 0);

    struct stat info;
    ASSERT_EQ(stat(path("out/RO.TXT").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
    std::tm local;
    localtime_r(&info.st_mtime, &local);
    EXPECT_EQ(std::vector<int>({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec}),
              std::vector<int>({1999, 8, 3, 9, 56, 14}));
    ASSERT_EQ(stat(path("out/RW.TXT").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & 0200, 0u);
    /* A date of zeros is no date: the file keeps the time it was written. */
    ASSERT_EQ(stat(path("out/UNDATED.TXT").c_str(), &info), 0);
    EXPECT_GE(info.st_mtime, started);
    /* A read-only file is replaced like any other. */
    const run_result again = run({"-q", "-o", "-d", "out", archive});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(tree("out").size(), 3u);
}

/* Sets TZ to @zone (null: unset) for this process and the programs it starts. */
void set_time_zone(const char *zone)
{
    if (zone != nullptr)
        setenv("TZ", zone, 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(Unpack, MemberTimesAreLocalTimeHoweverTheTimeZoneIsSpelt)
{
    /* None in a week where a zone's daylight-saving rules have changed since. */
    const int DATES[][6] = {{1980, 1, 1, 0, 0, 0},      {1985, 7, 4, 12, 0, 0},
                            {1994, 11, 30, 23, 59, 58}, {1999, 1, 15, 8, 30, 0},
                            {2003, 8, 10, 3, 15, 20},   {2020, 6, 30, 0, 0, 0}};
    std::vector<test_member> members;
    for (const auto &date : DATES) {
        members.push_back(member_in(0, "T" + std::to_string(members.size()) + ".TXT", "t"));
        members.back().dos_date =
            static_cast<uint16_t>((date[0] - 1980) << 9 | date[1] << 5 | date[2]);
        members.back().dos_time = static_cast<uint16_t>(date[3] << 11 | date[4] << 5 | date[5] / 2);
    }
    const std::string archive = write_archive("data.z", foldered({""}, members));
    const char *given = std::getenv("TZ");
    const std::string saved = given != nullptr ? given : "";
    const char *const ZONES[] = {"America/New_York", "Asia/Tokyo", "EST5EDT", nullptr};
    for (size_t z = 0; z < 4; ++z) {
        set_time_zone(ZONES[z]);
        const std::string out = "out" + std::to_string(z);
        const run_result result = run({"-q", "-d", out, archive});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        /* Read back in the same zone by this process, as the Linux build writes them. */
        for (size_t i = 0; i < members.size(); ++i)
            EXPECT_EQ(local_dos_time(path(out + "/T" + std::to_string(i) + ".TXT")),
                      std::make_pair(members[i].dos_date, members[i].dos_time))
                << "TZ=" << (ZONES[z] != nullptr ? ZONES[z] : "(unset)") << ", member " << i;
    }
    set_time_zone(given != nullptr ? saved.c_str() : nullptr);
}

TEST_F(Unpack, InterruptionLeavesNeitherTheMemberNorATemporaryFile)
{
    /* Under wine, the wrapper passes the signal on, and wine makes it the console's Ctrl-C. */
    const bool windows = unpack_is_windows_program();
    if (varlix_runs_wrapped() && !windows)
        GTEST_SKIP() << "the signal must reach varlix-unpack itself";
    /* 512 MiB from about 3 MB: long matches of one byte, written for as long as it takes. */
    implode_writer writer;
    implode_begin(&writer, 0, 4);
    implode_put_literal(&writer, 'x');
    const uint32_t matches = (512u << 20) / 518;
    for (uint32_t i = 0; i < matches; ++i)
        implode_put_match(&writer, 518, 1);
    implode_put_end_marker(&writer);
    const std::vector<uint8_t> big = implode_finish(&writer);
    const std::string archive =
        write_archive("data.z", foldered({""}, {member_in(0, "SMALL.TXT", "small"),
                                                raw_member("BIG.BIN", big, 1 + matches * 518)}));
    fs::create_directory(path("out"));

    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        const std::string exe = unpack_executable(), out = path("out");
        execl("/bin/sh", "sh", "-c", "exec ${VARLIX_TEST_WRAPPER:-} \"$0\" \"$@\"", exe.c_str(),
              "-j", "2", "-d", out.c_str(), archive.c_str(), nullptr);
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const fs::directory_entry &entry : fs::directory_iterator(path("out"))) {
            std::error_code gone;
            writing =
                writing || (entry.path().filename().string().rfind(".varlix-unpack-", 0) == 0 &&
                            fs::file_size(entry.path(), gone) > 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(writing);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    /* Windows ends the process with STATUS_CONTROL_C_EXIT, wine with 0. */
    if (!windows) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(path("out")))
        EXPECT_EQ(entry.path().filename().string(), "SMALL.TXT");
}

TEST_F(Unpack, AFailedWriteTellsTheSystemsReasonAndLeavesNoFile)
{
    if (varlix_runs_wrapped())
        GTEST_SKIP() << "the file size limit must apply to varlix-unpack itself";
    const std::string archive =
        write_archive("data.z", foldered({""}, {member_in(0, "SMALL.TXT", "small"),
                                                packed_member("BIG.BIN", sample_text(200000, 3))}));
    /* A file size limit of 64 KiB plays a full disk. */
    const std::string command = "cd '" + dir + "' && trap '' XFSZ && ulimit -f 64 && exec '" +
                                unpack_executable() + "' -q -d out data.z 2>err";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 7);
    EXPECT_EQ(read_file_text(path("err")),
              "BIG.BIN: the output file could not be written: File too large\n");
    EXPECT_EQ(tree("out").size(), 1u);
    EXPECT_EQ(file_or_missing(path("out/SMALL.TXT")), "small");
}

TEST_F(Unpack, NamesComeOutAsUtf8FromTheirCodePage)
{
    if (unpack_is_windows_program())
        GTEST_SKIP() << "Windows converts the bytes code page 1252 leaves undefined (0x81) to "
                        "control characters, where iconv refuses them";
    const std::string archive = write_archive(
        "data.z", foldered({"\x83\x66\x81\x5B\x83\x5E", "Caf\xE9"},
                           {member_in(0, "MAP.DAT", "map"), member_in(1, "MENU.TXT", "menu")}));
    const run_result japanese = run({"-q", "--codepage", "CP932", "-d", "cp932", archive});
    EXPECT_EQ(japanese.exit_code, 7);
    EXPECT_EQ(file_or_missing(path("cp932/\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF/MAP.DAT")), "map");
    /* 0xE9 followed by nothing is half a Shift-JIS character. */
    EXPECT_EQ(japanese.err,
              "Caf\\xE9/MENU.TXT: unsafe path (bytes that are not CP932 text), skipped\n");

    const run_result western = run({"-q", "-d", "cp1252", archive});
    EXPECT_EQ(western.exit_code, 7);
    EXPECT_EQ(file_or_missing(path("cp1252/Caf\xC3\xA9/MENU.TXT")), "menu");
    /* 0x81 has no character in code page 1252. */
    EXPECT_EQ(western.err, "\xC6\x92"
                           "f\\x81[\xC6\x92^/MAP.DAT: unsafe path (bytes that are not "
                           "CP1252 text), skipped\n");
}

TEST_F(Unpack, OutputIsTheSameForAnyNumberOfJobs)
{
    std::vector<test_member> members;
    for (uint16_t i = 0; i < 48; ++i) {
        const uint16_t folder = static_cast<uint16_t>(i / 10);
        test_member member = packed_member("F" + std::to_string(i) + ".BIN",
                                           sample_text(i % 7 == 0 ? 300000 : 1000 + 97 * i, i));
        member.folder = folder;
        member.dos_date = static_cast<uint16_t>((1997 - 1980) << 9 | 1 << 5 | (1 + i % 28));
        member.attributes = i % 5 == 0 ? 0x21 : 0x20;
        members.push_back(member);
    }
    members[3] = damaged_member(0, "BAD.BIN");
    members[17].unpacked_size += 1;
    members[25].name = "..";
    members[25].name_length.reset();
    const std::string archive =
        write_archive("data.z", foldered({"ONE", "TWO", "TWO\\THREE", "FOUR", "FIVE"}, members));

    std::vector<run_result> results;
    for (const char *jobs : {"1", "4"}) {
        const std::string out = std::string("out") + jobs;
        fs::create_directories(path(out + "/FOUR"));
        ASSERT_TRUE(write_file(path(out + "/FOUR/F31.BIN"), bytes_of("there before")));
        const struct timespec before[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path(out + "/FOUR/F31.BIN").c_str(), before, 0), 0);
        results.push_back(run({"-v", "-j", jobs, "-d", out, archive}));
    }
    EXPECT_EQ(results[0].exit_code, 6);
    EXPECT_EQ(results[1].exit_code, results[0].exit_code);
    EXPECT_EQ(without_time(results[1].err), without_time(results[0].err));
    EXPECT_NE(results[0].err.find("TWO/F17.BIN: the extracted size is not the size"),
              std::string::npos);
    EXPECT_EQ(tree("out4"), tree("out1"));
    EXPECT_EQ(tree("out1").size(), 5u + 48u - 3u);
}

TEST_F(Unpack, PatternsSelectMembersAndAMissAloneGivesFive)
{
    const std::string archive = write_archive(
        "data.z", foldered({"", "SOUND", "SYSTEM"},
                           {member_in(0, "README.TXT", "r"), member_in(1, "BELL.WAV", "b"),
                            member_in(1, "DING.WAV", "d"), member_in(2, "X.DLL", "x")}));
    const run_result result = run({"-d", "out", archive, "sound\\*.wav", "*.dll", "nothing*"});
    EXPECT_EQ(result.exit_code, 5);
    EXPECT_EQ(without_time(result.err), archive + ": no member matches \"nothing*\"\n"
                                                  "extracted 3 members, 3 bytes, 3 new folders, "
                                                  "0 failures\n");
    EXPECT_EQ(tree("out").size(), 5u);
    EXPECT_TRUE(path_exists(path("out/SOUND/DING.WAV")));
    EXPECT_EQ(run({"-q", "-o", "-d", "out", archive, "*.dll"}).exit_code, 0);
}

TEST_F(Unpack, TestingADamagedMemberGivesSixAndWritesNothing)
{
    std::vector<test_member> members = {member_in(0, "GOOD.TXT", "good"),
                                        damaged_member(0, "BAD.BIN"),
                                        member_in(0, "LONG.TXT", "recorded one byte short")};
    members[2].unpacked_size -= 1;
    const std::string archive = write_archive("data.z", foldered({""}, members));
    const run_result result = run({"-t", archive});
    EXPECT_EQ(result.exit_code, 6);
    EXPECT_EQ(without_time(result.err),
              "BAD.BIN: the compressed stream is damaged\n"
              "LONG.TXT: the extracted size is not the size the archive records\n"
              "tested 1 member, 4 bytes, 2 failures\n");
    EXPECT_EQ(tree("").size(), 1u);
}

TEST_F(Unpack, AMissingVolumeIsNamedByEachMemberThatNeedsIt)
{
    test_set set;
    set.folders = {{"Group1", {}, {}}};
    for (int i = 0; i < 4; ++i)
        set.members.push_back(packed_member("M" + std::to_string(i), sample_text(3000, 7)));
    const size_t size = set.members[0].data.size();
    set.volume_data_sizes = {size * 2, size / 2, 0}; /* M2 goes on into volume 3 */
    const std::vector<test_archive> volumes = set_volumes(set);
    for (size_t v = 0; v < 2; ++v)
        ASSERT_TRUE(write_file(path("_SETUP." + std::to_string(v + 1)), build_archive(volumes[v])));

    const run_result result = run({"-q", "-d", "out", path("_SETUP.2")});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "Group1/M2: needs _SETUP.3, which is missing or cannot be opened\n"
                          "Group1/M3: needs _SETUP.3, which is missing or cannot be opened\n");
    EXPECT_EQ(read_file_bytes(path("out/Group1/M1")), sample_text(3000, 7));
    EXPECT_EQ(tree("out").size(), 3u);
}

TEST_F(Unpack, ListingsAlignTheirColumnsAndJsonEscapesEveryName)
{
    if (unpack_is_windows_program())
        GTEST_SKIP() << "Windows converts the bytes code page 1252 leaves undefined (0x81) to "
                        "control characters, where iconv refuses them";
    std::vector<test_member> members = {member_in(0, "caf\xE9 \x81.txt", "odd bytes"),
                                        member_in(1, "QUOTE\".TXT", "q")};
    members[0].dos_date = (1998 - 1980) << 9 | 6 << 5 | 12;
    const std::string archive = write_archive("data.z", foldered({"", "CTRL\x01\\SUB"}, members));
    const run_result table = run({"-l", archive});
    EXPECT_EQ(table.exit_code, 0);
    EXPECT_EQ(table.out, "Date       Time      Attr        Size      Packed  Volume  Path\n"
                         "1998-06-12 00:00:00  ----           9  " +
                             right_aligned(members[0].data.size()) +
                             "  -       caf\xC3\xA9 \\x81.txt\n"
                             "1980-00-00 00:00:00  ----           1  " +
                             right_aligned(members[1].data.size()) +
                             "  -       CTRL\\x01/SUB/QUOTE\".TXT\n"
                             "2 members, 10 bytes, " +
                             std::to_string(members[0].data.size() + members[1].data.size()) +
                             " packed, 2 folders, 1 volume\n");

    if (std::system("python3 -c 1 2>/dev/null") != 0)
        GTEST_SKIP() << "python3 is needed to parse the JSON";
    ASSERT_TRUE(write_file(path("listing.json"), bytes_of(run({"--json", archive}).out)));
    ASSERT_TRUE(write_file(
        path("check.py"), bytes_of("import json, sys\n"
                                   "m = json.load(open(sys.argv[1], encoding='utf-8'))['members']\n"
                                   "assert len(m) == 2\n"
                                   "assert m[0]['name'] == 'caf\\u00e9 \\ufffd.txt'\n"
                                   "assert m[0]['name_hex'] == '636166e920812e747874'\n"
                                   "assert m[0]['time'] == '1998-06-12T00:00:00'\n"
                                   "assert m[1]['time'] is None\n"
                                   "assert m[1]['path'] == 'CTRL\\x01/SUB/QUOTE\".TXT'\n")));
    const std::string check = "python3 " + path("check.py") + " " + path("listing.json");
    EXPECT_EQ(std::system(check.c_str()), 0) << read_file_text(path("listing.json"));
}

/* The real installers beside the project; skipped when they are absent. */
class UnpackReal : public Unpack {
  protected:
    /* Extracts @name and checks every member's size and time against the library's reading. */
    void expect_whole_installer(const std::string &name, uint32_t files, uint32_t folders)
    {
        const std::string archive = realdata_path(name);
        if (!path_exists(archive))
            GTEST_SKIP() << archive << " is absent; real archives are not part of the project";
        const run_result result = run({"-q", "-d", "out", archive});
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.err, "");

        ASSERT_EQ(arc_open_installer(archive.c_str(), &installer), ARC_OK);
        ASSERT_EQ(installer.archive.member_count, files);
        ASSERT_EQ(installer.folder_count, folders);
        for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
            const arc_member &member = installer.archive.members[i];
            const arc_folder &folder = installer.folders[member.folder];
            const std::string file =
                path("out/") + folder.name + (folder.name_length ? "/" : "") + member.name;
            std::error_code missing;
            EXPECT_EQ(fs::file_size(file, missing), member.unpacked_size) << file;
            expect_member_time(file, member);
            if (member.flags & ARC_FLAG_CONTINUES) {
                EXPECT_EQ(read_file_bytes(file), read_and_decode(installer, member).bytes) << file;
            }
        }
        EXPECT_EQ(tree("out").size(), files + (folders > 1 ? folders : 0));
        if (hours_off != 0)
            std::printf("%u member(s) an hour off, dated where the zone's rules have changed\n",
                        hours_off);
    }

    /* The file's time is the member's local date and time, as this process reads it. */
    void expect_member_time(const std::string &file, const arc_member &member)
    {
        struct stat info;
        ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
        std::tm local = dos_calendar_time(member.dos_date, member.dos_time);
        const int64_t off = static_cast<int64_t>(info.st_mtime) - std::mktime(&local);
        if (off != 0 && unpack_is_windows_program() &&
            daylight_saving_differs_this_year(member.dos_date, member.dos_time)) {
            EXPECT_EQ(off * off, 3600 * 3600) << file;
            ++hours_off;
            return;
        }
        EXPECT_EQ(off, 0) << file;
    }

    void TearDown() override
    {
        arc_close_installer(&installer);
        Unpack::TearDown();
    }

    arc_installer installer = {};
    unsigned hours_off = 0;
};

TEST_F(UnpackReal, SetGives202FilesIn16FoldersAndAJsonListingOfThem)
{
    expect_whole_installer("set/_SETUP.1", 202, 16);
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(write_file(path("listing.json"),
                           bytes_of(run({"--list", "--json", realdata_path("set/_SETUP.3")}).out)));
    if (std::system("python3 -c 1 2>/dev/null") != 0)
        GTEST_SKIP() << "python3 is needed to parse the JSON";
    const std::string check = "python3 -c \"import json, sys; "
                              "sys.exit(len(json.load(open(sys.argv[1]))['members']) != 202)\" " +
                              path("listing.json");
    EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST_F(UnpackReal, SetupLibGivesSevenFilesWithTheirDates)
{
    expect_whole_installer("_SETUP.LIB", 7, 1);
}

} // namespace
