/*
 * make_fuzz_seeds - writes the starting corpora of the fuzz targets, made with
 * the test encoder, the token writer and the archive writer, so that no binary
 * corpus is kept in the repository.
 *
 * Usage: make_fuzz_seeds <directory>
 *
 * Creates <directory>/<target>/seed-NNN for each of fuzz_archive,
 * fuzz_installer, fuzz_explode, fuzz_explode_diff and fuzz_roundtrip. The output is the same
 * on every run. Each seed is at most a few KiB, so that libFuzzer mutates it
 * quickly: streams of every literal mode and dictionary size, of several
 * windows, hand-laid tokens at the format's limits, damaged streams, and
 * archives well formed and malformed in the ways the reader checks, and
 * installers with folder tables and disk sets of two to four volumes.
 */
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "tools/archive_writer.h"
#include "tools/implode_encoder.h"
#include "tools/seeded_random.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes text_data(size_t size, uint64_t seed)
{
    static const char *const WORDS[] = {"setup ", "the ",     "file ",    "disk ", "\r\n",
                                        "copy ",  "of ",      "program ", "data ", "windows ",
                                        "to ",    "install ", "[Files]",  "=1 ",   "README "};
    bytes out;
    while (out.size() < size) {
        const char *word = WORDS[next_random(&seed) % (sizeof(WORDS) / sizeof(WORDS[0]))];
        for (; *word != '\0' && out.size() < size; ++word)
            out.push_back(static_cast<uint8_t>(*word));
    }
    return out;
}

/* Runs of one byte, and a block repeated at a fixed period: long and far matches. */
bytes runs_and_repeats(size_t size, uint64_t seed)
{
    bytes out;
    const bytes block = random_bytes(300, seed);
    while (out.size() < size) {
        const uint64_t r = next_random(&seed);
        if (r % 2 == 0)
            out.insert(out.end(), 1 + r % 600, static_cast<uint8_t>(r >> 8));
        else
            out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(size);
    return out;
}

struct seed_writer {
    std::string dir;
    int count = 0;

    bool put(const bytes &data)
    {
        char name[32];
        std::snprintf(name, sizeof(name), "/seed-%03d", count++);
        return write_file(dir + name, data);
    }
};

implode_options options(int literal_mode, int dictionary_bits, uint64_t odd_choices_seed = 0)
{
    implode_options o;
    o.literal_mode = literal_mode;
    o.dictionary_bits = dictionary_bits;
    o.odd_choices_seed = odd_choices_seed;
    return o;
}

/* Data worth compressing: every kind, sizes on both sides of one window. */
std::vector<bytes> sample_data()
{
    return {
        {},
        bytes_of("a"),
        text_data(200, 1),
        text_data(5000, 2),
        runs_and_repeats(3000, 3),
        runs_and_repeats(9000, 4),
        random_bytes(700, 5),
    };
}

/* Hand-laid tokens at the edges: the longest match, the farthest ones, the window's end. */
std::vector<bytes> token_streams()
{
    std::vector<bytes> streams;
    for (int dictionary_bits = 4; dictionary_bits <= 6; ++dictionary_bits) {
        implode_writer w;
        implode_begin(&w, dictionary_bits == 5 ? 1 : 0, dictionary_bits);
        const uint32_t far = implode_max_distance(dictionary_bits);
        for (uint32_t i = 0; i < far; ++i)
            implode_put_literal(&w, static_cast<uint8_t>(i * 7));
        implode_put_match(&w, IMPLODE_MAX_MATCH, far);
        implode_put_match(&w, 2, IMPLODE_MAX_SHORT_DISTANCE);
        implode_put_match(&w, 3, 1);
        implode_put_end_marker(&w);
        streams.push_back(implode_finish(&w));
    }

    implode_writer empty;
    implode_begin(&empty, 1, 6);
    implode_put_end_marker(&empty);
    streams.push_back(implode_finish(&empty));

    implode_writer one_window;
    implode_begin(&one_window, 0, 6);
    implode_put_literal(&one_window, 'x');
    for (int i = 0; i < 8; ++i)
        implode_put_match(&one_window, 511, 1);
    implode_put_match(&one_window, 7, 1);
    implode_put_end_marker(&one_window);
    streams.push_back(implode_finish(&one_window));

    implode_writer too_far;
    implode_begin(&too_far, 0, 4);
    implode_put_literal(&too_far, 'x');
    implode_put_match(&too_far, 5, 2);
    implode_put_end_marker(&too_far);
    streams.push_back(implode_finish(&too_far));
    return streams;
}

std::vector<bytes> compressed_streams()
{
    std::vector<bytes> streams;
    uint64_t odd = 0;
    for (const bytes &data : sample_data()) {
        for (int literal_mode = 0; literal_mode <= 1; ++literal_mode) {
            for (int dictionary_bits = 4; dictionary_bits <= 6; ++dictionary_bits)
                streams.push_back(implode(data, options(literal_mode, dictionary_bits, odd++ % 3)));
        }
    }
    for (const bytes &stream : token_streams())
        streams.push_back(stream);

    /* Damaged: cut short, a bit flipped, bad header bytes. */
    const bytes good = implode(text_data(3000, 9), options(1, 5));
    streams.push_back(bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)));
    bytes flipped = good;
    flipped[good.size() / 3] ^= 0x10;
    streams.push_back(flipped);
    streams.push_back({2, 6, 0xFF});
    streams.push_back({0, 7, 0xFF});
    streams.push_back({0});
    return streams;
}

bool write_stream_seeds(const std::string &dir)
{
    seed_writer out{dir};
    uint8_t refuse = 0;
    for (bytes stream : compressed_streams()) {
        /* The last byte chooses the refused sink call; after the end marker it is not read. */
        stream.push_back(refuse++ % 4);
        if (!out.put(stream))
            return false;
    }
    return true;
}

bool write_roundtrip_seeds(const std::string &dir)
{
    seed_writer out{dir};
    uint8_t shape = 0;
    for (const bytes &data : sample_data()) {
        if (data.size() > 4000)
            continue;
        for (const uint64_t odd_choices : {uint64_t{0}, uint64_t{0x5EED}}) {
            bytes seed = {shape, static_cast<uint8_t>(shape % 5)};
            for (int i = 0; i < 8; ++i)
                seed.push_back(static_cast<uint8_t>(odd_choices >> (8 * i)));
            seed.insert(seed.end(), data.begin(), data.end());
            shape = static_cast<uint8_t>(shape + 1);
            if (!out.put(seed))
                return false;
        }
    }
    return true;
}

test_archive archive_of(std::vector<test_member> members)
{
    test_archive archive;
    archive.members = std::move(members);
    return archive;
}

std::vector<test_archive> sample_archives()
{
    std::vector<test_archive> archives;
    archives.push_back(archive_of({packed_member("README.TXT", text_data(900, 11), 1, 6)}));
    archives.push_back(archive_of({packed_member("Setup.Ini", text_data(300, 12), 0, 4),
                                   packed_member("LOGO.BMP", runs_and_repeats(5000, 13), 0, 5),
                                   packed_member("a", bytes_of("a"), 1, 5)}));
    archives.push_back(
        archive_of({packed_member(std::string(255, 'N'), text_data(100, 14), 1, 4)}));

    test_archive junk = archive_of({packed_member("DATA.BIN", random_bytes(200, 15), 0, 6),
                                    packed_member("data.bin", text_data(100, 16), 1, 6)});
    junk.junk_before_records = {0, 1, 2, 3, 4, 5, 6};
    junk.extra_records = {raw_member("UNCOUNTED.TXT", {}, 0)};
    junk.trailing = random_bytes(40, 17);
    archives.push_back(junk);

    test_member damaged = packed_member("DAMAGED.TXT", text_data(2000, 18), 1, 6);
    damaged.data.resize(damaged.data.size() / 2);
    test_member too_long = packed_member("SIZE.TXT", text_data(500, 19), 0, 6);
    too_long.unpacked_size += 1;
    archives.push_back(archive_of({damaged, too_long, raw_member("EMPTY", {}, 0)}));

    test_member outside = packed_member("OUTSIDE.TXT", text_data(50, 20));
    outside.packed_size = 100000;
    archives.push_back(archive_of({outside}));

    test_archive shared_data = archive_of({packed_member("ONE.TXT", text_data(800, 21), 1, 5)});
    test_member second = shared_data.members[0];
    second.name = "TWO.TXT";
    second.data.clear();
    second.offset = 255;
    second.packed_size = static_cast<uint32_t>(shared_data.members[0].data.size());
    shared_data.members.push_back(second);
    archives.push_back(shared_data);

    test_member stored = raw_member("STORED.DLL", text_data(300, 23), 300);
    stored.flags = 0x0010;
    archives.push_back(archive_of({stored, packed_member("PACKED.TXT", text_data(200, 24))}));

    test_archive cut = archive_of({packed_member("CUT.TXT", text_data(400, 22))});
    cut.truncate_to = build_archive(cut).size() - 5;
    archives.push_back(cut);
    return archives;
}

bool write_archive_seeds(const std::string &dir)
{
    seed_writer out{dir};
    for (const test_archive &archive : sample_archives()) {
        if (!out.put(build_archive(archive)))
            return false;
    }
    return true;
}

/* The fuzz_installer input: control byte, then each file but the last with its length. */
bytes installer_input(uint8_t control, const std::vector<bytes> &files)
{
    bytes input = {static_cast<uint8_t>(control | (files.size() - 1))};
    for (size_t i = 0; i < files.size(); ++i) {
        if (i + 1 < files.size()) {
            const uint32_t length = static_cast<uint32_t>(files[i].size());
            for (int k = 0; k < 4; ++k)
                input.push_back(static_cast<uint8_t>(length >> (8 * k)));
        }
        input.insert(input.end(), files[i].begin(), files[i].end());
    }
    return input;
}

test_member in_folder(test_member member, uint16_t folder)
{
    member.folder = folder;
    member.dos_date = 0x2704;
    member.attributes = 0x20;
    member.version_high = 0x00050001;
    return member;
}

test_set sample_set(size_t volumes)
{
    test_set set;
    set.folders = {{"Group1", {}, {}}, {"Group2\\Sub", {}, {}}};
    set.members = {in_folder(packed_member("ONE.TXT", text_data(300, 31), 1, 6), 0),
                   in_folder(packed_member("SPAN.BIN", runs_and_repeats(900, 32), 0, 5), 0),
                   in_folder(packed_member("caf\xE9.txt", text_data(200, 33), 1, 4), 1),
                   in_folder(packed_member("LAST.TXT", text_data(100, 34), 0, 6), 1)};
    for (size_t v = 0; v + 1 < volumes; ++v)
        set.volume_data_sizes.push_back(v == 0 ? set.members[0].data.size() + 20 : 60);
    set.volume_data_sizes.push_back(0);
    set.interim_directory_volume = volumes > 2 ? 2 : 0;
    return set;
}

std::vector<bytes> built(const std::vector<test_archive> &layouts)
{
    std::vector<bytes> files;
    for (const test_archive &layout : layouts)
        files.push_back(build_archive(layout));
    return files;
}

bool write_installer_seeds(const std::string &dir)
{
    seed_writer out{dir};
    test_archive plain;
    plain.true_record_layout = true;
    plain.folders = {{"", {}, {}}, {"\x83\x66\x81\x5B", {}, {}}};
    plain.members = sample_set(1).members;
    bool ok = out.put(installer_input(0x10, {build_archive(plain)}));
    /* A stored member, and the setup engine container that lies beside installers. */
    plain.members[1] = in_folder(raw_member("STORED.DLL", text_data(500, 35), 500), 0);
    plain.members[1].flags = 0x0010;
    ok = ok && out.put(installer_input(0x10, {build_archive(plain)}));
    test_container engine;
    engine.members = {
        {packed_member("INSTALL.EXE", text_data(400, 36), 0, 6), "_INS0432._MP", {}, {}},
        {packed_member("BOOT16.EXE", runs_and_repeats(300, 37), 1, 4), "_INJ0432._MP", {}, {}}};
    ok = ok && out.put(installer_input(0x10, {build_container(engine)}));
    for (const size_t volumes : {size_t{2}, size_t{3}, size_t{4}}) {
        std::vector<test_archive> layouts = set_volumes(sample_set(volumes));
        ok = ok && out.put(installer_input(0x24, built(layouts)));
        layouts[1].truncate_to = 300;
        ok = ok && out.put(installer_input(0x0C, built(layouts)));
    }
    return ok;
}

bool make_directory(const std::string &path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: make_fuzz_seeds <directory>\n", stderr);
        return 1;
    }
    const std::string root = argv[1];
    const std::string stream_dirs[] = {root + "/fuzz_explode", root + "/fuzz_explode_diff"};
    bool ok = make_directory(root);
    for (const std::string &dir : stream_dirs)
        ok = ok && make_directory(dir) && write_stream_seeds(dir);
    ok = ok && make_directory(root + "/fuzz_roundtrip") &&
         write_roundtrip_seeds(root + "/fuzz_roundtrip");
    ok =
        ok && make_directory(root + "/fuzz_archive") && write_archive_seeds(root + "/fuzz_archive");
    ok = ok && make_directory(root + "/fuzz_installer") &&
         write_installer_seeds(root + "/fuzz_installer");
    if (!ok) {
        std::perror(root.c_str());
        return 1;
    }
    return 0;
}
