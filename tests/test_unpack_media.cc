/*
 * varlix-unpack on whole media: a folder tree swept for every installer, a
 * set kept one disk per folder, volumes named with --volume, members written
 * to standard output, the setup engine container, and the shell forms the
 * README gives for sweeping a collection.
 */
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/support/installer_support.h"
#include "tests/support/test_support.h"
#include "tools/archive_writer.h"

namespace fs = std::filesystem;

namespace {

test_archive one_folder(const std::string &folder, std::vector<test_member> members)
{
    test_archive layout;
    layout.true_record_layout = true;
    layout.folders.push_back({folder, {}, {}});
    layout.members = std::move(members);
    return layout;
}

test_set two_volume_set(const std::string &text)
{
    test_set set;
    set.folders = {{"Group1", {}, {}}};
    set.members = {packed_member("ONE.TXT", bytes_of(text + " one")),
                   packed_member("TWO.TXT", sample_text(4000, 3))};
    set.volume_data_sizes = {set.members[0].data.size() + 1000, 0};
    return set;
}

/* The summary line without its time, and every other line as it is. */
std::string without_time(const std::string &err)
{
    const size_t tail = err.rfind(", ");
    return tail == std::string::npos ? err : err.substr(0, tail);
}

bool python_parses(const std::string &json_file, const std::string &assertions)
{
    if (std::system("python3 -c 1 2>/dev/null") != 0)
        return true;
    const std::string script = json_file + ".py";
    write_file(script, bytes_of("import json, sys\nd = json.load(open(sys.argv[1], "
                                "encoding='utf-8'))\n" +
                                assertions));
    return std::system(("python3 " + script + " " + json_file).c_str()) == 0;
}

class UnpackMedia : public ScratchDirTest {
  protected:
    void write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        fs::create_directories(fs::path(path(name)).parent_path());
        ASSERT_TRUE(write_file(path(name), bytes));
    }

    /* A copy of installer media: archives of every kind, and files that are not. */
    void write_media()
    {
        write("media/DOC.Z", build_archive(one_folder("", {packed_member("DOC.TXT", {'d'})})));
        write("media/HELP.Z", build_archive(one_folder("", {packed_member("HELP.HLP", {'h'})})));
        write("media/_SETUP.LIB",
              build_archive(one_folder("", {packed_member("SETUP.DLL", bytes_of("lib"))})));
        const std::vector<test_archive> beside = set_volumes(two_volume_set("beside"));
        write("media/_SETUP.1", build_archive(beside[0]));
        write("media/_SETUP.2", build_archive(beside[1]));
        const std::vector<test_archive> disks = set_volumes(two_volume_set("disks"));
        write("media/DISK1/DATA.1", build_archive(disks[0]));
        write("media/DISK2/DATA.2", build_archive(disks[1]));
        std::vector<uint8_t> broken = {0x13, 0x5D, 0x65, 0x8C};
        broken.resize(300);
        write("media/BROKEN.BIN", broken);
        write("media/notes.txt", bytes_of("not an installer"));
        test_container engine;
        engine.members = {
            {packed_member("INSTALL.EXE", bytes_of("MZ engine")), "_INS0432._MP", {}, {}}};
        write("media/_INST32I.EX_", build_container(engine));
        make_symbolic_link("..", path("media/DISK1/loop"));
    }
};

TEST_F(UnpackMedia, ASweepFindsEveryInstallerOnceEachInAFolderOfItsOwn)
{
    write_media();
    const run_result swept = run_unpack({"-q", "-d", "out", "media"}, dir);
    EXPECT_EQ(swept.exit_code, 4) << swept.err; /* BROKEN.BIN comes first, byte-wise */
    EXPECT_EQ(swept.err, "BROKEN.BIN: the member directory does not parse\n");
    EXPECT_EQ(read_file_text(path("out/DOC.Z/DOC.TXT")), "d");
    EXPECT_EQ(read_file_text(path("out/HELP.Z/HELP.HLP")), "h");
    EXPECT_EQ(read_file_text(path("out/_SETUP.LIB/SETUP.DLL")), "lib");
    EXPECT_EQ(read_file_text(path("out/_SETUP.1/Group1/ONE.TXT")), "beside one");
    EXPECT_EQ(read_file_text(path("out/DISK1/DATA.1/Group1/ONE.TXT")), "disks one");
    EXPECT_EQ(read_file_bytes(path("out/DISK1/DATA.1/Group1/TWO.TXT")), sample_text(4000, 3));
    EXPECT_EQ(read_file_text(path("out/_INST32I.EX_/INSTALL.EXE")), "MZ engine");
    EXPECT_FALSE(path_exists(path("out/_SETUP.2")));
    EXPECT_FALSE(path_exists(path("out/DISK2")));

    /* Told in order, the same for any number of jobs; listed as one JSON array. */
    std::string first;
    for (const char *jobs : {"1", "3"}) {
        const run_result tested = run_unpack({"-t", "-j", jobs, "media"}, dir);
        EXPECT_EQ(tested.exit_code, 4);
        if (first.empty())
            first = without_time(tested.err);
        EXPECT_EQ(without_time(tested.err), first);
    }
    EXPECT_EQ(first, "BROKEN.BIN: the member directory does not parse\n"
                     "tested 8 members, 8033 bytes, 1 failure; 7 installers in 10 files scanned");
    const run_result listed = run_unpack({"--json", "media"}, dir);
    ASSERT_TRUE(write_file(path("media.json"), bytes_of(listed.out)));
    EXPECT_TRUE(python_parses(
        path("media.json"),
        "assert [i['archive'].split('media/')[1] for i in d] == "
        "['DISK1/DATA.1', 'DOC.Z', 'HELP.Z', '_INST32I.EX_', '_SETUP.1', '_SETUP.LIB']\n"
        "assert d[3]['members'][0]['stored_as'] == '_INS0432._MP'\n"
        "assert [v['present'] for v in d[0]['volumes']] == [True, True]\n"));
}

TEST_F(UnpackMedia, WhatCannotBeReadIsOneLineAndAFolderWithoutInstallersIsExitThree)
{
    write("none/a.txt", bytes_of("text"));
    const run_result none = run_unpack({"-t", "none"}, dir);
    EXPECT_EQ(none.exit_code, 3);
    EXPECT_EQ(none.err, "none: no installer found (1 file scanned)\n");

    if (unpack_is_windows_program())
        GTEST_SKIP() << "POSIX permissions";
    write("locked/DOC.Z", build_archive(one_folder("", {packed_member("DOC.TXT", {'d'})})));
    write("locked/SECRET.Z", build_archive(one_folder("", {packed_member("S.TXT", {'s'})})));
    chmod(path("locked/SECRET.Z").c_str(), 0);
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        /* Root reads regardless of permissions: the sweep runs as nobody. */
        launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null") != 0)
            GTEST_SKIP() << "running as root, and setpriv cannot switch to an unprivileged user";
    }
    const run_result locked = run_unpack({"-t", path("locked")}, "", launcher);
    EXPECT_EQ(locked.exit_code, 2);
    EXPECT_EQ(without_time(locked.err),
              "SECRET.Z: cannot be read: Permission denied\n"
              "tested 1 member, 1 bytes, 1 failure; 1 installer in 2 files scanned");
}

TEST_F(UnpackMedia, TheDefaultOutputFolderIsNamedAfterTheSweptOneAndNeverSwept)
{
    write("media/DOC.Z", build_archive(one_folder("", {packed_member("DOC.TXT", {'d'})})));
    EXPECT_EQ(run_unpack({"-q", "media"}, dir).exit_code, 0);
    EXPECT_EQ(read_file_text(path("media-unpacked/DOC.Z/DOC.TXT")), "d");
    /* From inside: "." is not a plain name, and the output folder in the tree is left alone. */
    for (int run = 0; run < 2; ++run) {
        const run_result inside = run_unpack({"-o", "-q", "."}, path("media"));
        EXPECT_EQ(inside.exit_code, 0) << inside.err;
    }
    EXPECT_EQ(read_file_text(path("media/unpacked/DOC.Z/DOC.TXT")), "d");
    EXPECT_FALSE(path_exists(path("media/unpacked/unpacked")));
    EXPECT_EQ(run_unpack({"-q", "-d", "media", "media"}, dir).exit_code, 1);
}

TEST_F(UnpackMedia, StandardOutputTakesTheMembersBytesAloneAndStopsAtAFailure)
{
    test_member damaged = raw_member("BAD.TXT", {0x00, 0x04, 0x1F, 0x02, 0xFE, 0x01}, 3);
    write("a.z", build_archive(one_folder("", {packed_member("A.TXT", sample_text(5000, 1)),
                                               packed_member("B.TXT", bytes_of("bee")), damaged,
                                               packed_member("C.TXT", bytes_of("sea"))})));
    const run_result two = run_unpack({"-c", "a.z", "?.txt"}, dir);
    EXPECT_EQ(two.exit_code, 0) << two.err;
    std::vector<uint8_t> expected = sample_text(5000, 1);
    expected.insert(expected.end(), {'b', 'e', 'e', 's', 'e', 'a'});
    EXPECT_EQ(two.out, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(two.err, "");
    const run_result stopped = run_unpack({"--stdout", "a.z", "b.txt", "bad.txt", "c.txt"}, dir);
    EXPECT_EQ(stopped.exit_code, 6);
    EXPECT_EQ(stopped.out, "bee");
    EXPECT_EQ(stopped.err, "BAD.TXT: the compressed stream is damaged\n");
    for (const std::vector<std::string> &mixed :
         std::vector<std::vector<std::string>>{{"-c", "-l", "a.z"},
                                               {"-c", "-t", "a.z"},
                                               {"-c", "-d", "x", "a.z"},
                                               {"-c", "--flat", "a.z"},
                                               {"-c", "."}})
        EXPECT_EQ(run_unpack(mixed, dir).exit_code, 1) << mixed[1];
}

TEST_F(UnpackMedia, VolumesNamedWithVolumeServeAndAreCheckedFirst)
{
    const std::vector<test_archive> volumes = set_volumes(two_volume_set("named"));
    write("first/START.1", build_archive(volumes[0]));
    write("elsewhere/copy of disk two", build_archive(volumes[1]));
    const std::vector<test_archive> other = set_volumes(two_volume_set("other set"));
    write("other/OTHER.2", build_archive(other[1]));
    const run_result missing = run_unpack({"-t", "first/START.1"}, dir);
    EXPECT_EQ(missing.exit_code, 2);
    const run_result named = run_unpack(
        {"-q", "-d", "out", "--volume", "elsewhere/copy of disk two", "first/START.1"}, dir);
    EXPECT_EQ(named.exit_code, 0) << named.err;
    EXPECT_EQ(read_file_bytes(path("out/Group1/TWO.TXT")), sample_text(4000, 3));
    const struct {
        std::vector<std::string> args;
        const char *problem;
    } MISTAKES[] = {
        {{"--volume", "other/OTHER.2", "first/START.1"},
         "'other/OTHER.2' is not a volume of the set of 'first/START.1'"},
        {{"--volume", "first/START.1", "first/START.1"}, "volume 1 is named twice"},
        {{"--volume", "nothing", "first/START.1"}, "the volume 'nothing' cannot be opened"},
    };
    for (const auto &mistake : MISTAKES) {
        std::vector<std::string> args = {"-d", "never"};
        args.insert(args.end(), mistake.args.begin(), mistake.args.end());
        const run_result refused = run_unpack(args, dir);
        EXPECT_EQ(refused.exit_code, 1);
        EXPECT_NE(refused.err.find(mistake.problem), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(path_exists(path("never")));
}

TEST_F(UnpackMedia, ASetInDiskFoldersComesWholeFromInsideOneOfThem)
{
    const std::vector<test_archive> volumes = set_volumes(two_volume_set("floppies"));
    write("copy/Disk 1/_SETUP.1", build_archive(volumes[0]));
    write("copy/Disk 2/_SETUP.2", build_archive(volumes[1]));
    const run_result inside =
        run_unpack({"-q", "-d", path("out"), "_SETUP.1"}, path("copy/Disk 1"));
    EXPECT_EQ(inside.exit_code, 0) << inside.err;
    EXPECT_EQ(read_file_bytes(path("out/Group1/TWO.TXT")), sample_text(4000, 3));
}

TEST_F(UnpackMedia, TheEngineContainerComesOutWithItsNamesAndItsFailures)
{
    test_container container;
    container.members = {
        {packed_member("GOOD.EXE", sample_text(3000, 4)), "_GOOD._MP", {}, {}},
        {raw_member("BAD.EXE", {0x00, 0x04, 0x1F, 0x02, 0xFE, 0x01}, 3), "_BAD._MP", {}, {}},
        {packed_member("BIG.EXE", sample_text(9000, 5)), "_BIG._MP", {}, {}}};
    container.members[2].member.unpacked_size = 100; /* expands far past its record */
    write("_INST32I.EX_", build_container(container));
    const run_result result = run_unpack({"-d", "out", "_INST32I.EX_"}, dir);
    EXPECT_EQ(result.exit_code, 6);
    EXPECT_EQ(without_time(result.err),
              "BAD.EXE: the compressed stream is damaged\n"
              "BIG.EXE: the extracted size is not the size the archive records\n"
              "extracted 1 member, 3000 bytes, 1 new folder, 2 failures");
    EXPECT_EQ(read_file_bytes(path("out/GOOD.EXE")), sample_text(3000, 4));
    EXPECT_FALSE(path_exists(path("out/BIG.EXE")));
    const run_result listed = run_unpack({"-l", "_INST32I.EX_"}, dir);
    EXPECT_NE(listed.out.find("-                    -           3000         "), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("GOOD.EXE (stored as _GOOD._MP)\n"), std::string::npos);
}

TEST_F(UnpackMedia, TheRealContainerGivesItsFourExecutablesExactly)
{
    const std::string real = realdata_path("_INST32I.EX_");
    if (!path_exists(real))
        GTEST_SKIP() << real << " is absent; real archives are not part of the project";
    const run_result result = run_unpack({"-q", "-d", "out", real}, dir);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    arc_installer installer = {};
    ASSERT_EQ(arc_open_installer(real.c_str(), &installer), ARC_OK);
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        const arc_member &member = installer.archive.members[i];
        EXPECT_EQ(read_file_bytes(path("out/") + member.name),
                  read_and_decode(installer, member).bytes)
            << member.name;
    }
    arc_close_installer(&installer);
    ASSERT_TRUE(write_file(path("real.json"), bytes_of(run_unpack({"--json", real}, dir).out)));
    EXPECT_TRUE(python_parses(path("real.json"),
                              "m = d['members']\n"
                              "assert [(x['name'], x['stored_as']) for x in m] == ["
                              "('INSTALL.EXE', '_INS0432._MP'), ('LZWSERV.EXE', '_INZ0432._MP'), "
                              "('WUTL95i.DLL', '_WUTL95.DLL'), ('BOOT16.EXE', '_INJ0432._MP')]\n"
                              "assert [x['size'] for x in m] == [667136, 20656, 37376, 7168]\n"
                              "assert m[0]['time'] is None and m[0]['volumes'] is None\n"));
}

TEST_F(UnpackMedia, ASweepOfTheRealDataFindsItsThreeInstallers)
{
    const std::string real = realdata_path("");
    if (!path_exists(realdata_path("set/_SETUP.1")))
        GTEST_SKIP() << real << " is absent; real archives are not part of the project";
    const run_result result = run_unpack({"-t", real}, dir);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("tested 213 members, 7475469 bytes, 0 failures; 3 installers in "),
              std::string::npos)
        << result.err;
}

/* The README's way to sweep a collection on one machine, a folder per job. */
TEST_F(UnpackMedia, ACollectionIsSweptFolderByFolderWithXargs)
{
    if (unpack_is_windows_program() || varlix_runs_wrapped())
        GTEST_SKIP() << "a POSIX shell runs varlix-unpack itself here";
    for (const char *cd : {"cd-a", "cd-b", "cd-c"})
        write(std::string("collection/") + cd + "/SETUP.Z",
              build_archive(one_folder("", {packed_member("README.TXT", bytes_of(cd))})));
    const std::string command = "cd '" + dir + "' && PATH='" +
                                fs::path(unpack_executable()).parent_path().string() +
                                "':$PATH && mkdir -p out && "
                                "find collection -mindepth 1 -maxdepth 1 -type d -print0 |\n"
                                "    xargs -0 -P 4 -I '{}' sh -c "
                                "'varlix-unpack -q -d \"out/${1##*/}\" \"$1\"; "
                                "varlix-unpack --json \"$1\" > \"out/${1##*/}.json\"' sh '{}'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    for (const char *cd : {"cd-a", "cd-b", "cd-c"}) {
        EXPECT_EQ(read_file_text(path("out/") + cd + "/SETUP.Z/README.TXT"), cd);
        EXPECT_NE(read_file_text(path("out/") + cd + ".json").find("\"README.TXT\""),
                  std::string::npos);
    }
}

} // namespace
