/*
 * decode_member - decodes the compressed bytes found at a given place in a
 * file with the installed decoder alone, and writes them to a file. The
 * consumer tests take the place from the listing of the installed tool.
 *
 * Usage: decode_member <file> <offset> <compressed-size> <output-file>
 */
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/version.h" /* the version header's old path, which forwards to the new one */
#include "explode/explode.h"
#include "varlix_version.h"

namespace {

bool write_to_file(void *context, const uint8_t *bytes, uint32_t length)
{
    return std::fwrite(bytes, 1, length, static_cast<std::FILE *>(context)) == length;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fputs("usage: decode_member <file> <offset> <compressed-size> <output-file>\n"
                   "(varlix " VARLIX_VERSION ")\n",
                   stderr);
        return 1;
    }
    const long offset = std::strtol(argv[2], nullptr, 10);
    std::vector<uint8_t> packed(std::strtoul(argv[3], nullptr, 10));
    std::FILE *input = std::fopen(argv[1], "rb");
    const bool read_all = input != nullptr && std::fseek(input, offset, SEEK_SET) == 0 &&
                          std::fread(packed.data(), 1, packed.size(), input) == packed.size();
    if (input != nullptr)
        std::fclose(input);
    if (!read_all) {
        std::fprintf(stderr, "%s: cannot read %zu bytes at %ld\n", argv[1], packed.size(), offset);
        return 2;
    }

    std::FILE *output = std::fopen(argv[4], "wb");
    if (output == nullptr) {
        std::perror(argv[4]);
        return 2;
    }
    const explode_result result =
        explode(packed.data(), static_cast<uint32_t>(packed.size()), write_to_file, output);
    const bool closed = std::fclose(output) == 0;
    std::printf("explode result %d\n", static_cast<int>(result));
    return result == EXPLODE_OK && closed ? 0 : 3;
}
